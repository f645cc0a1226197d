#pragma once
// The utility modes of calibrix. Each returns the program's exit status and
// writes its messages to `out` (standard output) and `err` (standard error).

#include <iosfwd>
#include <string>

namespace calibrix {

// "-conv_rectify_img": 0 ok, 1 bad eye_type, 2 input unreadable, 3 rect.param
// unreadable, 4 tables invalid, 5 output not written.
int convRectifyImg(const std::string& input, const std::string& rectParam, const std::string& eyeType,
                   const std::string& output, std::ostream& out, std::ostream& err);

// "-conv_rectify_lr_img": 0 ok, 1 input unreadable, 2 rect.param unreadable,
// 3 tables invalid, 4 an output not written.
int convRectifyLrImg(const std::string& input, const std::string& rectParam, const std::string& outLeft,
                     const std::string& outRight, std::ostream& out, std::ostream& err);

// "-draw_marker": 0 ok, 2 input unreadable, 3 detection failed, 4 output not
// written. settings may be null (defaults). An unopenable settings file
// throws iFileStorage_error.
int drawMarker(const std::string& input, const std::string& output, const char* settings, std::ostream& err);

// "-setting_output_csv": prints every setting and origin_marker_index as one
// line without line end; returns 0. Throws iFileStorage_error.
int settingOutputCsv(const char* settings, std::ostream& out);

}  // namespace calibrix
