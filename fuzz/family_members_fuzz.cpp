// Fuzz target for the "FamilyMembers" reader: the bytes become that stream of
// an in-memory storage, which JMConfigurations::Load reads; every entry read
// must then be found again by its roadmap.
#include <quorra/quorra.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 16)) return 0;
  quorra::host::ComPtr<IStorage> storage;
  quorra::host::ComPtr<IStream> stream;
  if (FAILED(quorra::host::CreateMemoryStorage(storage.Put())) ||
      FAILED(storage->CreateStream(FAMILY_MEMBERS_STREAM, STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, 0, 0,
                                   stream.Put())))
    std::abort();
  ULONG written = 0;
  if (size && FAILED(stream->Write(data, static_cast<ULONG>(size), &written))) std::abort();
  stream.Reset();

  JMConfigurations configurations;
  if (configurations.Load(storage.Get()) != S_OK) return 0;
  for (DWORD i = 0; i < configurations.Count(); ++i) {
    const JMConfigurationEntry& entry = configurations[i];
    if (FAILED(configurations.VerifyMemberAndVersion(entry, entry.GetVersion()))) std::abort();
  }
  return 0;
}
