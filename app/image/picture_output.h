// The reply pictures of one cycle: from the captured frame to one picture file per profile.
//
// The capture-and-reply worker calls, once per cycle:
//   PictureNames names = MakeNames(workFolder, profiles, converterPath, cycleStartTime);
//   for (int k = 0; k < kProfileCount; ++k)
//     BuildProfilePicture(workFolder, names, k, profiles[k], converterPath, &log);
// BuildProfilePicture runs the three steps through the work files:
//   AdjustPicture  "QVTmp000.___" (the captured frame) -> "QVTmp001.___"  tone, size, aspect
//   ReduceColors   "QVTmp001.___" -> "QVTmp002.___"                      (reduce.h)
//   EncodePicture  "QVTmp002.___" -> names.outputPath[k]                 PNG, JPEG, BMP or GIF
// A step that fails leaves no destination file, so a later step never picks up the picture
// of an earlier profile. Afterwards the worker deletes the three work files and the outputs.
//
// The work folder is the program's private folder (with a trailing '/'); the converter path is
// the GIF converter's program, empty when none is installed, in which case GIF profiles are
// written as JPEG (named "jpg"). All files are the program's own, but the captured frame may
// come from another program and is read as untrusted.
#pragma once

#include <ctime>
#include <string>

#include "app/settings/activity_log.h"
#include "app/settings/settings.h"

namespace qv {

inline constexpr int kProfileCount = 4;
inline constexpr char kCapturedFrameFile[] = "QVTmp000.___";
inline constexpr char kAdjustedFile[] = "QVTmp001.___";
inline constexpr char kReducedFile[] = "QVTmp002.___";

// The output file and the mail attachment name of each profile of one cycle.
struct PictureNames {
  std::string outputPath[kProfileCount];      // "<work folder>QVTmp003.png" ... "QVTmp006.jpg"
  std::string attachmentName[kProfileCount];  // "200312241530.png": year to minute of the cycle
};

// The format a profile is written in: its Type, except that GIF becomes JPEG without a
// converter.
[[nodiscard]] int EffectiveType(const PictSettings& profile, const std::string& converterPath);

// "png", "jpg", "bmp", "gif" for the types 0 to 3; "dat" for any other (nothing is written).
[[nodiscard]] const char* ExtensionOf(int type);

// Names of a cycle that started at the local time `cycleStart`.
[[nodiscard]] PictureNames MakeNames(const std::string& workFolder, const PictSettings (&profiles)[kProfileCount],
                                     const std::string& converterPath, const std::tm& cycleStart);
// The same with the local time now.
[[nodiscard]] PictureNames MakeNames(const std::string& workFolder, const PictSettings (&profiles)[kProfileCount],
                                     const std::string& converterPath);

// Loads the BMP `source` (8-, 16- and 32-bit pictures are first converted to 24 bits), applies
// the profile's Contrast and Light, brings it to Width x Height (Aspect: cover and cut the
// middle, else stretch) and saves it as a 24-bit BMP `destination`. False, with a CP932
// reason and no destination file, when the source cannot be loaded or converted, or the
// profile's size cannot be made (0, negative or above 16384).
[[nodiscard]] bool AdjustPicture(const std::string& source, const std::string& destination,
                                 const PictSettings& profile, std::string* error = nullptr);

// Writes the reduced BMP `source` as the profile's format to `destination`:
//   PNG  through libpng, PictQuality as zlib level (held to 0..9), palette or RGB after the
//        profile's colours;
//   JPEG through QXCoreBMP2JPG at quality PictQuality x 5 (held to 0..100);
//   BMP  a byte-for-byte copy;
//   GIF  through the converter (as JPEG when converterPath is empty).
// True when the destination was written; otherwise false with a CP932 reason, and no
// destination file is left behind.
[[nodiscard]] bool EncodePicture(const std::string& source, const std::string& destination,
                                 const PictSettings& profile, const std::string& converterPath,
                                 std::string* error = nullptr);

// The JPEG path on its own: QXCoreBMP2JPG from `source` to `destination` at `quality`.
[[nodiscard]] bool EncodeJpeg(const std::string& source, const std::string& destination, int quality,
                              std::string* error = nullptr);

// Adjust, reduce and encode profile `profileIndex` (0..3) through the work files of
// `workFolder` into names.outputPath[profileIndex]. A failing step is reported to `log` (may
// be null) as a picture line and ends the profile. True when the output file was written.
bool BuildProfilePicture(const std::string& workFolder, const PictureNames& names, int profileIndex,
                         const PictSettings& profile, const std::string& converterPath, LogSink* log);

}  // namespace qv
