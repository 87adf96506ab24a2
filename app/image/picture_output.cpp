#include "app/image/picture_output.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "app/image/adjust.h"
#include "app/image/bitmap.h"
#include "app/image/converter.h"
#include "app/image/png_output.h"
#include "app/image/reduce.h"
#include "core/qxdvcore.h"
#include "platform/files.h"
#include "platform/text.h"

namespace qv {
namespace {

// True when `path` holds a whole JPEG stream: it starts with SOI and ends with EOI. The JPEG
// service reports only whether it could read the BMP, and an encoder error leaves a cut file.
bool IsCompleteJpeg(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  char head[2] = {}, tail[2] = {};
  in.read(head, 2);
  in.seekg(-2, std::ios::end);
  in.read(tail, 2);
  return in && static_cast<uint8_t>(head[0]) == 0xFF && static_cast<uint8_t>(head[1]) == 0xD8 &&
         static_cast<uint8_t>(tail[0]) == 0xFF && static_cast<uint8_t>(tail[1]) == 0xD9;
}

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

}  // namespace

int EffectiveType(const PictSettings& profile, const std::string& converterPath) {
  if (profile.Type == PICT_GIF && converterPath.empty()) return PICT_JPEG;
  return profile.Type;
}

const char* ExtensionOf(int type) {
  switch (type) {
    case PICT_PNG: return "png";
    case PICT_JPEG: return "jpg";
    case PICT_BMP: return "bmp";
    case PICT_GIF: return "gif";
    default: return "dat";
  }
}

PictureNames MakeNames(const std::string& workFolder, const PictSettings (&profiles)[kProfileCount],
                       const std::string& converterPath, const std::tm& cycleStart) {
  PictureNames names;
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d", cycleStart.tm_year + 1900, cycleStart.tm_mon + 1,
                cycleStart.tm_mday, cycleStart.tm_hour, cycleStart.tm_min);
  for (int i = 0; i < kProfileCount; ++i) {
    const char* extension = ExtensionOf(EffectiveType(profiles[i], converterPath));
    char file[32];
    std::snprintf(file, sizeof file, "QVTmp%03d.%s", i + 3, extension);
    names.outputPath[i] = workFolder + file;
    names.attachmentName[i] = std::string(stamp) + "." + extension;
  }
  return names;
}

PictureNames MakeNames(const std::string& workFolder, const PictSettings (&profiles)[kProfileCount],
                       const std::string& converterPath) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return MakeNames(workFolder, profiles, converterPath, local);
}

bool AdjustPicture(const std::string& source, const std::string& destination, const PictSettings& profile,
                   std::string* error) {
  auto adjust = [&]() -> bool {
    BmpFile file;
    if (!file.Open(source, error)) return false;
    const BitmapInfoHeader& info = file.info();
    const auto plan = PlanResize(info.biWidth, info.biHeight, profile.Width, profile.Height, profile.Aspect);
    if (!plan) {
      char size[64];
      std::snprintf(size, sizeof size, " (%d x %d)", profile.Width, profile.Height);
      return Fail(error, SJIS("画像サイズの設定では変換できません") + size);
    }
    // A 24-bit frame is sampled straight from the file: only the rows the reply picture keeps
    // are read. Others are loaded whole and converted to 24 bits first.
    Bitmap sized;
    if (info.biBitCount == 24) {
      if (!ResizeAndCrop(file, *plan, &sized)) return Fail(error, SJIS("画像ファイルを読み込めません: ") + source);
    } else {
      Bitmap picture, converted;
      if (!LoadBmp(source, &picture, error) || !ConvertTo24Bits(picture, &converted, error)) return false;
      picture.Free();
      if (!ResizeAndCrop(converted, *plan, &sized)) return Fail(error, SJIS("画像のサイズを変換できません。"));
    }
    // Sampling only copies pixels, so the tone curve gives the same result after the resize as
    // before it, on far fewer pixels.
    if (!AdjustTone(&sized, profile.Contrast, profile.Light))
      return Fail(error, SJIS("画像の明るさを変換できません。"));
    return SaveBmp(destination, sized, error);
  };
  if (adjust()) return true;
  RemoveFile(destination);
  return false;
}

bool EncodeJpeg(const std::string& source, const std::string& destination, int quality, std::string* error) {
  RemoveFile(destination);
  if (QXCoreBMP2JPG(source.c_str(), destination.c_str(), quality) != 1) {
    RemoveFile(destination);
    return Fail(error, SJIS("JPEGに変換できない画像です: ") + source);
  }
  if (!IsCompleteJpeg(destination)) {
    RemoveFile(destination);
    return Fail(error, SJIS("JPEGファイルを書き込めません: ") + destination);
  }
  return true;
}

bool EncodePicture(const std::string& source, const std::string& destination, const PictSettings& profile,
                   const std::string& converterPath, std::string* error) {
  switch (EffectiveType(profile, converterPath)) {
    case PICT_PNG:
      // zlib refuses levels beyond 0..9; a profile switched from JPEG keeps its JPEG quality.
      return WritePngFile(source, destination, PngColorCount(ColorSelectorFromCode(profile.ColorNum)),
                          std::clamp(profile.PictQuality, 0, 9), error);
    case PICT_JPEG: {
      const int64_t quality = std::clamp<int64_t>(int64_t{profile.PictQuality} * 5, 0, 100);
      return EncodeJpeg(source, destination, static_cast<int>(quality), error);
    }
    case PICT_BMP:
      return CopyPictureFile(source, destination, error);
    case PICT_GIF:
      RemoveFile(destination);
      if (RunConverter(converterPath, source, destination) != 1 || FileSize(destination) <= 0) {
        RemoveFile(destination);
        return Fail(error, SJIS("GIFに変換できません: ") + converterPath);
      }
      return true;
    default: {
      RemoveFile(destination);
      char type[32];
      std::snprintf(type, sizeof type, " (Type=%d)", profile.Type);
      return Fail(error, SJIS("画像形式の設定が不正です") + type);
    }
  }
}

bool BuildProfilePicture(const std::string& workFolder, const PictureNames& names, int profileIndex,
                         const PictSettings& profile, const std::string& converterPath, LogSink* log) {
  if (profileIndex < 0 || profileIndex >= kProfileCount) return false;
  const std::string captured = workFolder + kCapturedFrameFile;
  const std::string adjusted = workFolder + kAdjustedFile;
  const std::string reduced = workFolder + kReducedFile;
  const std::string& output = names.outputPath[profileIndex];
  std::string error;
  const bool done = AdjustPicture(captured, adjusted, profile, &error) &&
                    ReduceColors(adjusted, reduced, profile, &error) &&
                    EncodePicture(reduced, output, profile, converterPath, &error);
  if (!done) {
    // The picture of this profile is not made: make sure no older one goes out under its name.
    RemoveFile(output);
    if (log) log->Log(LOG_PICT, error.empty() ? SJIS("画像を作成できませんでした。") : error);
  }
  return done;
}

}  // namespace qv
