// Host services that applying an override table calls: the late-bound
// functions of the host's assembly module ("brenik.dex") that apply display
// configurations, bring route-identified overrides up to date, hand out a
// part's own style library and serve product-manufacturing information, and
// the simplified-display query of the object an assembly occurrence may keep
// as its user datum 82.
#pragma once

#include "quorra/host/com.h"
#include "quorra/host/styles.h"
#include "quorra/host/types.h"

class AssemblyOccurrence;
class JAsmOverride;
class JConfigSetting;

// "JAsmApplyConfigSettings" of "brenik.dex": applies `count` configuration
// settings (in id order) to `document` (the site's document in interface
// {1FC155A0-6BE3-101B-97A9-08003601CDC9}). The host may change the type of a
// setting of type 5 (layout or reference plane) to the one it found.
using JAsmApplyConfigSettingsSignature = HRESULT(IUnknown* document, JConfigSetting* settings, DWORD count,
                                                 DWORD flags);
// "JAsmUpdateAttachmentIDs" of "brenik.dex": gives the route-identified
// override children of `asmOverride` the attachment ids of the occurrences
// below `occurrence` that their routes name.
using JAsmUpdateAttachmentIDsSignature = HRESULT(AssemblyOccurrence* occurrence, JAsmOverride* asmOverride);
// "JAsmGetPartStyleLib" of "brenik.dex": the own style library (AddRef'd) of
// the part that `reference` (an occurrence's referenced document) places.
using JAsmGetPartStyleLibSignature = HRESULT(IUnknown* reference, IJStyleLibrary** library);
// "JAsmApplyIOTForPMI" and "JAsmPopulateIOTForPMI" of "brenik.dex": the
// host's; the library forwards both arguments unchanged.
using JAsmApplyIOTForPMISignature = HRESULT(void* a, void* b);
using JAsmPopulateIOTForPMISignature = HRESULT(void* a, void* b);
// "JAsmNotifyIDS" of "brenik.dex", reached through JNotifyIDS: a change
// recorded for `tree` (or, with no tree, for `document`; with neither, for
// every tree) that the host brings onto the live occurrences.
using JAsmNotifyIDSSignature = HRESULT(void* tree, void* document, DWORD reason, void* flags);

// The object an assembly occurrence may keep as its user datum 82 (it
// belongs to the host's simplification component). Only its query is used.
struct IJSimplifiedDisplayState {
  // True when the assembly is to be shown simplified whatever its override
  // says.
  virtual BOOL IsShownSimplified() = 0;  // slot 5

 protected:
  ~IJSimplifiedDisplayState() = default;
};

// The occurrence user datum that holds an IJSimplifiedDisplayState.
constexpr DWORD UD_SIMPLIFIED_DISPLAY_STATE = 82;
