// Matrix composition, inversion and box transforms: each runs once per
// occurrence when world matrices and ranges are refreshed.
#include <benchmark/benchmark.h>
#include <quorra/quorra.h>

namespace {

tagG4x4 Placement(double seed) {
  return tagG4x4::Translation(seed, 2 * seed, -seed) * tagG4x4::Rotation(BuildVector(1, seed, 2), 0.3 + seed);
}

void BM_Compose(benchmark::State& state) {
  tagG4x4 parent = Placement(1.0);
  tagG4x4 local = Placement(2.0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(parent);
    benchmark::DoNotOptimize(local);
    tagG4x4 world = parent * local;
    benchmark::DoNotOptimize(world);
  }
}
BENCHMARK(BM_Compose);

void BM_InverseAffine(benchmark::State& state) {
  tagG4x4 m = Placement(3.0) * tagG4x4::Scale(2, 3, 4);
  for (auto _ : state) {
    benchmark::DoNotOptimize(m);
    tagG4x4 inv{tagG4x4::NoInit{}};
    benchmark::DoNotOptimize(m.GetInverse(inv));
    benchmark::DoNotOptimize(inv);
  }
}
BENCHMARK(BM_InverseAffine);

void BM_InverseProjective(benchmark::State& state) {
  tagG4x4 m = Placement(3.0);
  m.m[14] = 0.25;
  for (auto _ : state) {
    benchmark::DoNotOptimize(m);
    tagG4x4 inv{tagG4x4::NoInit{}};
    benchmark::DoNotOptimize(m.GetInverse(inv));
    benchmark::DoNotOptimize(inv);
  }
}
BENCHMARK(BM_InverseProjective);

void BM_TransformBox(benchmark::State& state) {
  tagG4x4 m = Placement(4.0);
  tagGBox box(-1, -2, -3, 4, 5, 6);
  for (auto _ : state) {
    benchmark::DoNotOptimize(m);
    benchmark::DoNotOptimize(box);
    tagGBox r = m * box;
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_TransformBox);

// A million placements composed and their ranges accumulated, as a tree
// refresh does.
void BM_RefreshMillion(benchmark::State& state) {
  const tagG4x4 parent = Placement(5.0);
  const tagG4x4 local = Placement(6.0);
  const tagGBox box(-1, -1, -1, 1, 1, 1);
  for (auto _ : state) {
    tagGBox total;
    for (int i = 0; i < 1000000; ++i) {
      tagG4x4 world = parent * local;
      world.m[3] += i;
      total.Add(world * box);
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * 1000000);
}
BENCHMARK(BM_RefreshMillion)->Unit(benchmark::kMillisecond);

}  // namespace
