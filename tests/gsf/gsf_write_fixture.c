/* Writes a compound file with libgsf for the interop tests:
 *   gsf_write_fixture OUT SECTOR_SIZE [small]
 * SECTOR_SIZE is 512 (version 3) or 4096 (version 4). The tree and the
 * stream contents are fixed; the tests expect exactly them. "small" leaves
 * out the bulk (Large, the N00..N39 streams, Deeper). */
#include <gsf/gsf.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Byte i of the stream with the given seed; the tests compute the same. */
static guint8 FixtureByte(size_t i, unsigned seed) { return (guint8)(i * 31u + seed * 7u + (i >> 8)); }

static int WriteStream(GsfOutfile* parent, const char* name, size_t size, unsigned seed) {
  GsfOutput* child = gsf_outfile_new_child(parent, name, FALSE);
  if (!child) return 0;
  guint8 chunk[4096];
  for (size_t done = 0; done < size;) {
    size_t n = size - done < sizeof chunk ? size - done : sizeof chunk;
    for (size_t k = 0; k < n; ++k) chunk[k] = FixtureByte(done + k, seed);
    if (!gsf_output_write(child, n, chunk)) return 0;
    done += n;
  }
  int ok = gsf_output_close(child);
  g_object_unref(child);
  return ok;
}

int main(int argc, char** argv) {
  if (argc != 3 && !(argc == 4 && strcmp(argv[3], "small") == 0)) {
    fprintf(stderr, "usage: gsf_write_fixture OUT SECTOR_SIZE [small]\n");
    return 2;
  }
  unsigned sectorSize = (unsigned)atoi(argv[2]);
  int full = argc == 3;
  GError* error = NULL;
  GsfOutput* sink = gsf_output_stdio_new(argv[1], &error);
  if (!sink) {
    fprintf(stderr, "gsf_write_fixture: %s\n", error ? error->message : "cannot create output");
    return 1;
  }
  GsfOutfile* root = gsf_outfile_msole_new_full(sink, sectorSize, 64);
  int ok = root != NULL;
  ok = ok && WriteStream(root, "Small", 10, 1);
  ok = ok && WriteStream(root, "Edge4095", 4095, 2);
  ok = ok && WriteStream(root, "Edge4096", 4096, 3);
  ok = ok && (!full || WriteStream(root, "Large", 70000, 4));
  ok = ok && WriteStream(root, "Empty", 0, 0);
  for (unsigned i = 0; ok && full && i < 40; ++i) {
    char name[8];
    snprintf(name, sizeof name, "N%02u", i);
    ok = WriteStream(root, name, 65, 10 + i);
  }
  GsfOutfile* sub = ok ? GSF_OUTFILE(gsf_outfile_new_child(root, "Sub", TRUE)) : NULL;
  static const guint8 kSubClass[16] = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                                       0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
  ok = ok && sub && gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(sub), kSubClass);
  ok = ok && WriteStream(sub, "Inner", 3000, 5);
  GsfOutfile* deeper = ok && full ? GSF_OUTFILE(gsf_outfile_new_child(sub, "Deeper", TRUE)) : NULL;
  ok = ok && (!full || (deeper && WriteStream(deeper, "Leaf", 100000, 6)));
  if (deeper) {
    ok = gsf_output_close(GSF_OUTPUT(deeper)) && ok;
    g_object_unref(deeper);
  }
  if (sub) {
    ok = gsf_output_close(GSF_OUTPUT(sub)) && ok;
    g_object_unref(sub);
  }
  if (root) {
    ok = gsf_output_close(GSF_OUTPUT(root)) && ok;
    g_object_unref(root);
  }
  g_object_unref(sink);
  if (!ok) fprintf(stderr, "gsf_write_fixture: writing failed\n");
  return ok ? 0 : 1;
}
