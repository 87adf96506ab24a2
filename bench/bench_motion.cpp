// The motion measure on camera-sized BGR frames against memcpy of the same frame, the floor
// for any pass over the frame, and the time from a single-frame request to a written BMP on a
// test device. The last line is the ratio the measure is judged by:
//   motion_over_memcpy_720p: R   (our time / memcpy's time, target at most 4)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/motion.h"
#include "core/qxdvcore.h"
#include "platform/files.h"

namespace {

std::vector<uint8_t> RandomFrame(size_t length, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> frame(length);
  for (auto& byte : frame) byte = static_cast<uint8_t>(random());
  return frame;
}

// Two different frames alternate, as a moving picture would.
void BM_Motion(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0)) * state.range(1) * 3;
  const bool show = state.range(2) != 0;
  const std::vector<uint8_t> first = RandomFrame(length, 1);
  const std::vector<uint8_t> second = RandomFrame(length, 2);
  std::vector<uint8_t> frame(length);
  qxcore::MotionMeter meter;
  bool odd = false;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(frame.data(), odd ? first.data() : second.data(), length);
    odd = !odd;
    state.ResumeTiming();
    benchmark::DoNotOptimize(meter.Measure(frame.data(), length, show));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}
BENCHMARK(BM_Motion)->Args({640, 480, 0})->Args({1280, 720, 0})->Args({1280, 720, 1})
    ->ArgNames({"width", "height", "show"});

void BM_Memcpy(benchmark::State& state) {
  const size_t length = static_cast<size_t>(state.range(0)) * state.range(1) * 3;
  const std::vector<uint8_t> source = RandomFrame(length, 3);
  std::vector<uint8_t> destination(length);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), length);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}
BENCHMARK(BM_Memcpy)->Args({640, 480})->Args({1280, 720})->ArgNames({"width", "height"});

void BM_SingleFrameToBmp(benchmark::State& state) {
  setenv("QUORVEX_TEST_DEVICES", "Benchmark Camera", 1);
  const std::string folder = qv::MakeWorkFolder("bench_motion_");
  const std::string path = folder + "frame.bmp";
  if (QXStartup() != 1 || QXGetDeviceCount() < 1) {
    state.SkipWithError("no test device");
    return;
  }
  QXSTARTUPDEVICEINFO info{};
  if (QXStartupDevice(&info, 0) != 1) {
    state.SkipWithError("the test device did not start");
    return;
  }
  for (auto _ : state) {
    if (QXCaptureSingleFrame(path.c_str(), 0) == 0) state.SkipWithError("no frame written");
  }
  (void)QXCleanup();
  std::remove(path.c_str());
  std::remove(folder.c_str());
}
BENCHMARK(BM_SingleFrameToBmp)->Unit(benchmark::kMillisecond);

// Prints as usual and keeps each run's time per iteration for the ratio.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.iterations > 0) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
  }
  double Time(const std::string& name) const {
    const auto found = times_.find(name);
    return found == times_.end() ? 0 : found->second;
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double motion = reporter.Time("BM_Motion/width:1280/height:720/show:0");
  const double copy = reporter.Time("BM_Memcpy/width:1280/height:720");
  std::printf("motion_720p_us: %.1f\nmemcpy_720p_us: %.1f\n", motion / 1000, copy / 1000);
  std::printf("motion_over_memcpy_720p: %.2f\n", copy > 0 ? motion / copy : 0.0);
  benchmark::Shutdown();
  return 0;
}
