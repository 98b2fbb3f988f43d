// pelmora_bench [--pacing] [--commands] [Google Benchmark flags]
//
// Runs every benchmark except the pacing ones and the signed commands under
// floods, which take real seconds each and run only with --pacing and
// --commands.
#include <cstring>

#include "bench_support.h"

namespace pelmora::bench {
void RegisterPacingBenchmarks();
void RegisterCommandBenchmarks();
}  // namespace pelmora::bench

int main(int argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pacing") == 0) {
      pelmora::bench::RegisterPacingBenchmarks();
    } else if (std::strcmp(argv[i], "--commands") == 0) {
      pelmora::bench::RegisterCommandBenchmarks();
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
