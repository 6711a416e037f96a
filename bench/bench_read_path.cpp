// The read path under a unit scan: ScanUnits over an image in 512-byte units, each unit
// read through the device (a trivial unit step), against `cat IMAGE > /dev/null` in the
// same run, both with a warm page cache.
//
// The image is $QUARROW_BENCH_IMAGE, or a 1 GiB file made once in $TMPDIR.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "device/Driver.h"

namespace {

std::string ImagePath() {
  if (const char* p = std::getenv("QUARROW_BENCH_IMAGE")) return p;
  std::string path = (std::filesystem::temp_directory_path() / "quarrow-bench-1g.img").string();
  constexpr uint64_t kSize = 1ULL << 30;
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) != kSize) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 20);
    for (uint64_t i = 0; i < kSize / block.size(); ++i) {
      for (size_t k = 0; k < block.size(); k += 4096) block[k] = char(i + k);  // not all zeros
      out.write(block.data(), long(block.size()));
    }
  }
  return path;
}

// A scan step that reads its sector and looks at one byte, as the cheapest real step would.
class CSectorReader : public CDriver {
 public:
  bool ScanUnit(uint64_t unit, CUnitBitmap*, IProgressWindow*) override {
    if (!ReadRaw(unit, m_pUnitBuffer.data(), 512, 1)) return false;
    m_nSum += m_pUnitBuffer[0];
    return m_pUnitBuffer[0] == 0xFF;
  }
  uint64_t m_nSum = 0;
};

void BM_Cat(benchmark::State& state) {
  std::string path = ImagePath();
  uint64_t size = std::filesystem::file_size(path);
  std::string cmd = "cat '" + path + "' > /dev/null";
  (void)!std::system(cmd.c_str());  // warm the page cache
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("cat failed");
  }
  state.SetBytesProcessed(int64_t(state.iterations() * size));
}

void BM_ScanUnits512(benchmark::State& state) {
  std::string path = ImagePath();
  CSectorReader d;
  d.m_hDevice = CRawDevice::OpenPath(path, nullptr);
  if (!d.m_hDevice) {
    state.SkipWithError("cannot open the image");
    return;
  }
  d.m_pUnitBuffer.assign(512, 0);
  d.m_nFirstUnit = 0;
  d.m_nLastUnit = d.m_hDevice->Size() / 512 - 1;
  for (auto _ : state) {
    uint64_t found = 0;
    d.ScanUnits(nullptr, found);
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(int64_t(state.iterations() * d.m_hDevice->Size()));
  state.counters["backing_reads"] = double(d.m_hDevice->BackingReads()) / double(state.iterations());
}

}  // namespace

BENCHMARK(BM_Cat)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ScanUnits512)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK_MAIN();
