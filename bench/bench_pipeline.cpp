// The reply pictures of one cycle, timed against ImageMagick doing the same chain.
//
//   bench_pipeline FRAME_640x480.bmp FRAME_1920x1080.bmp [--runs N] [--converter PATH]
//
// For each frame it runs the four default profiles (PNG with 192 colours, JPEG, GIF with 256
// colours through the converter, JPEG) as the reply worker does, from the captured-frame work
// file to the four output files, and the same chain with ImageMagick's convert (resize to
// cover, centre cut, Floyd-Steinberg dither to the same colour counts, the same formats and
// qualities), one process per profile as a responder using it would. Both medians are
// printed; the last line is "pipeline_speedup_1080p: R", ImageMagick's median over ours at
// 1920 x 1080. It also prints the PSNR of our 256-colour median cut of the first frame next
// to ImageMagick's and pngquant's (when pngquant is installed).
//
// Without arguments it runs the stage benchmarks (Google Benchmark) on a synthetic frame.
#include <benchmark/benchmark.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/image/adjust.h"
#include "app/image/bitmap.h"
#include "app/image/median_cut.h"
#include "app/image/picture_output.h"
#include "app/image/reduce.h"
#include "app/image/testing/test_pictures.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

using Clock = std::chrono::steady_clock;

void DefaultProfiles(PictSettings (&profiles)[qv::kProfileCount]) {
  profiles[0] = {PICT_PNG, 7, 120, 120, 1, 4, 24, 0, 0};
  profiles[1] = {PICT_JPEG, 12, 120, 128, 1, 4, 36, 0, 0};
  profiles[2] = {PICT_GIF, 3, 96, 80, 1, 4, 32, 0, 0};
  profiles[3] = {PICT_JPEG, 20, 320, 240, 1, 4, 36, 0, 0};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool FileExists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

// One cycle of ours: the names, then adjust, reduce and encode for each profile.
double OurCycle(const std::string& work, const std::string& converter) {
  PictSettings profiles[qv::kProfileCount];
  DefaultProfiles(profiles);
  const auto start = Clock::now();
  const qv::PictureNames names = qv::MakeNames(work, profiles, converter);
  for (int k = 0; k < qv::kProfileCount; ++k) {
    const auto t = Clock::now();
    if (!qv::BuildProfilePicture(work, names, k, profiles[k], converter, nullptr)) {
      std::fprintf(stderr, "profile %d failed\n", k);
      std::exit(1);
    }
    if (getenv("QV_BENCH_VERBOSE")) fprintf(stderr, "profile %d: %.2f ms\n", k, MillisecondsSince(t));
  }
  return MillisecondsSince(start);
}

// The same chain with ImageMagick, one convert process a profile.
double ImageMagickCycle(const std::string& frame, const std::string& work) {
  const std::vector<std::vector<std::string>> commands = {
      {"convert", frame, "-resize", "120x120^", "-gravity", "center", "-extent", "120x120", "-dither",
       "FloydSteinberg", "-colors", "192", "-quality", "75", "PNG8:" + work + "im0.png"},
      {"convert", frame, "-resize", "120x128^", "-gravity", "center", "-extent", "120x128", "-quality", "60",
       work + "im1.jpg"},
      {"convert", frame, "-resize", "96x80^", "-gravity", "center", "-extent", "96x80", "-dither",
       "FloydSteinberg", "-colors", "256", work + "im2.gif"},
      {"convert", frame, "-resize", "320x240^", "-gravity", "center", "-extent", "320x240", "-quality", "100",
       work + "im3.jpg"},
  };
  const auto start = Clock::now();
  for (const auto& command : commands) {
    const qv::ProcessResult result = qv::RunProcess(command);
    if (!result.Succeeded()) {
      std::fprintf(stderr, "ImageMagick failed: %s\n", result.error.c_str());
      std::exit(1);
    }
  }
  return MillisecondsSince(start);
}

// Processor time (user and system) of this process and of its ended children, in ms.
std::pair<double, double> CpuMilliseconds() {
  auto ms = [](const rusage& usage) {
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  };
  rusage self{}, children{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  return {ms(self), ms(children)};
}

using qv::testing::Psnr;  // the image tests' measure of picture quality

// A 24-bit picture from a BMP of any depth our loader takes.
bool Load24(const std::string& path, qv::Bitmap* out) {
  qv::Bitmap loaded;
  if (!qv::LoadBmp(path, &loaded)) return false;
  if (loaded.bitCount() == 24) {
    *out = std::move(loaded);
    return true;
  }
  return qv::ConvertTo24Bits(loaded, out);
}

// A PNG (any kind) as a 24-bit bottom-up picture.
bool LoadPng(const std::string& path, qv::Bitmap* out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_BGR;
  qv::Bitmap bitmap = qv::Bitmap::Create(static_cast<int>(image.width), static_cast<int>(image.height), 24);
  // A negative row stride makes libpng fill the buffer's rows from its end, bottom-up.
  const auto stride = static_cast<png_int_32>(bitmap.stride());
  const bool ok = png_image_finish_read(&image, nullptr, bitmap.bits().data(), -stride, nullptr) != 0;
  png_image_free(&image);
  if (ok) *out = std::move(bitmap);
  return ok;
}

void PrintPsnr(const std::string& frame, const std::string& work) {
  qv::Bitmap original;
  if (!Load24(frame, &original)) return;
  qv::BitmapRowReader reader(original);
  qv::BitmapRowWriter writer;
  qv::MedianCutOptions options;
  options.colorCount = 256;
  options.precision = 4;
  qv::Bitmap ours;
  if (qv::RunMedianCut(reader, writer, options) != qv::kMedianCutDone ||
      !qv::ConvertTo24Bits(writer.bitmap(), &ours))
    return;
  std::printf("psnr_256_colours %dx%d: ours %.2f dB", original.width(), original.height(), Psnr(original, ours));

  qv::Bitmap theirs;
  if (qv::RunProcess({"convert", frame, "-dither", "FloydSteinberg", "-colors", "256", "-type", "Palette", "-compress", "None",
                      "BMP3:" + work + "im256.bmp"})
          .Succeeded() &&
      Load24(work + "im256.bmp", &theirs))
    std::printf(", ImageMagick %.2f dB", Psnr(original, theirs));
  if (qv::RunProcess({"convert", frame, "PNG24:" + work + "frame.png"}).Succeeded() &&
      qv::RunProcess({"pngquant", "--force", "--speed", "1", "--output", work + "pq.png", "256", work + "frame.png"})
          .Succeeded() &&
      LoadPng(work + "pq.png", &theirs))
    std::printf(", pngquant %.2f dB", Psnr(original, theirs));
  else
    std::printf(", pngquant not available");
  std::printf("\n");
}

int RunComparison(int argc, char** argv) {
  std::vector<std::string> frames;
  int runs = 15;
  std::string converter = qv::ProgramFolder() + "qvconvert";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--runs" && i + 1 < argc)
      runs = std::max(1, std::atoi(argv[++i]));
    else if (argument == "--converter" && i + 1 < argc)
      converter = argv[++i];
    else
      frames.push_back(argument);
  }
  if (!FileExists(converter)) {
    std::fprintf(stderr, "no converter at %s: build qvconvert or give --converter\n", converter.c_str());
    return 1;
  }
  const std::string work = qv::MakeWorkFolder("qvbench");
  double lastRatio = 0;
  std::string lastSize;
  for (const std::string& frame : frames) {
    qv::Bitmap probe;
    if (!qv::LoadBmp(frame, &probe)) {
      std::fprintf(stderr, "cannot load %s\n", frame.c_str());
      return 1;
    }
    if (!qv::CopyPictureFile(frame, work + qv::kCapturedFrameFile)) return 1;
    (void)OurCycle(work, converter);  // warm the caches and the converter's libraries
    std::vector<double> ours, theirs;
    const auto cpuBefore = CpuMilliseconds();
    for (int run = 0; run < runs; ++run) ours.push_back(OurCycle(work, converter));
    const auto cpuAfter = CpuMilliseconds();
    const int theirRuns = std::max(3, runs / 3);
    (void)ImageMagickCycle(frame, work);
    for (int run = 0; run < theirRuns; ++run) theirs.push_back(ImageMagickCycle(frame, work));
    const double ourMedian = Median(ours), theirMedian = Median(theirs);
    lastRatio = theirMedian / ourMedian;
    lastSize = std::to_string(probe.width()) + "x" + std::to_string(probe.height());
    std::printf("frame %s: ours median %.2f ms (%d runs), ImageMagick median %.2f ms (%d runs), ratio %.1f\n",
                lastSize.c_str(), ourMedian, runs, theirMedian, theirRuns, lastRatio);
    std::printf("frame %s: ours processor time a cycle %.2f ms, and %.2f ms in the GIF converter\n",
                lastSize.c_str(), (cpuAfter.first - cpuBefore.first) / runs,
                (cpuAfter.second - cpuBefore.second) / runs);
    std::fflush(stdout);
  }
  if (!frames.empty()) PrintPsnr(frames.front(), work);
  std::error_code ignored;
  std::filesystem::remove_all(work, ignored);
  if (lastSize != "1920x1080") {
    std::fprintf(stderr, "the last frame must be 1920x1080 for the speed-up line\n");
    return 1;
  }
  std::printf("pipeline_speedup_1080p: %.2f\n", lastRatio);
  return 0;
}

// ---- Stage benchmarks on a synthetic 1920 x 1080 frame, or the 24-bit BMP named by
// QUORVEX_BENCH_FRAME ----

qv::Bitmap& SyntheticFrame() {
  static qv::Bitmap frame = [] {
    if (const char* path = std::getenv("QUORVEX_BENCH_FRAME")) {
      qv::Bitmap loaded;
      if (qv::LoadBmp(path, &loaded) && loaded.bitCount() == 24) return loaded;
    }
    qv::Bitmap bitmap = qv::Bitmap::Create(1920, 1080, 24);
    uint32_t state = 12345;
    for (int y = 0; y < 1080; ++y)
      for (int x = 0; x < 1920; ++x) {
        state = state * 1664525u + 1013904223u;
        uint8_t* p = bitmap.row(y) + x * 3;
        p[0] = static_cast<uint8_t>((x / 8 + (state >> 28)) & 0xFF);
        p[1] = static_cast<uint8_t>((y / 5 + (state >> 29)) & 0xFF);
        p[2] = static_cast<uint8_t>(((x + y) / 12 + (state >> 30)) & 0xFF);
      }
    return bitmap;
  }();
  return frame;
}

void BM_LoadFrame(benchmark::State& state) {
  const std::string path = qv::TempFolder() + "qvbench-frame.bmp";
  if (!qv::SaveBmp(path, SyntheticFrame())) state.SkipWithError("cannot save");
  for (auto _ : state) {
    qv::Bitmap bitmap;
    benchmark::DoNotOptimize(qv::LoadBmp(path, &bitmap));
  }
  std::remove(path.c_str());
}
BENCHMARK(BM_LoadFrame)->Unit(benchmark::kMillisecond);

void BM_ResizeAndCrop(benchmark::State& state) {
  const auto plan = qv::PlanResize(1920, 1080, 320, 240, 1);
  for (auto _ : state) {
    qv::Bitmap out;
    benchmark::DoNotOptimize(qv::ResizeAndCrop(SyntheticFrame(), *plan, &out));
  }
}
BENCHMARK(BM_ResizeAndCrop)->Unit(benchmark::kMicrosecond);

void BM_MedianCut(benchmark::State& state) {
  const auto plan = qv::PlanResize(1920, 1080, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), 1);
  qv::Bitmap small;
  if (!qv::ResizeAndCrop(SyntheticFrame(), *plan, &small)) state.SkipWithError("resize");
  for (auto _ : state) {
    qv::BitmapRowReader reader(small);
    qv::BitmapRowWriter writer;
    qv::MedianCutOptions options;
    options.colorCount = 256;
    options.precision = 4;
    benchmark::DoNotOptimize(qv::RunMedianCut(reader, writer, options));
  }
}
BENCHMARK(BM_MedianCut)->Args({120, 120})->Args({640, 480})->Unit(benchmark::kMicrosecond);

void BM_Popularity(benchmark::State& state) {
  const auto plan = qv::PlanResize(1920, 1080, 320, 240, 1);
  qv::Bitmap small;
  if (!qv::ResizeAndCrop(SyntheticFrame(), *plan, &small)) state.SkipWithError("resize");
  for (auto _ : state) {
    qv::Bitmap out;
    benchmark::DoNotOptimize(qv::ReducePopularity(small, &out));
  }
}
BENCHMARK(BM_Popularity)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && argv[1][0] != '-') return RunComparison(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
