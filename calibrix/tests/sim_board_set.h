#pragma once
// A board image set of the virtual head (zelsim render --scene boards), made
// once per test program. CALIBRIX_BOARD_SET may name an already rendered set
// (a folder holding boards/, board.yaml and truth/) to save the rendering.
#include <opencv2/core.hpp>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "calibrix/tests/run_calibrix.h"
#include "calibrix/tests/test_dir.h"

namespace calibrix::test {

constexpr int kSimPoses = 40;

inline std::string simBoardSet(std::string* why) {
    namespace fs = std::filesystem;
    if (const char* given = std::getenv("CALIBRIX_BOARD_SET")) {
        if (fs::exists(std::string(given) + "/truth/boards.yaml")) return given;
        *why = std::string("CALIBRIX_BOARD_SET has no truth/boards.yaml: ") + given;
        return {};
    }
#ifdef ZELSIM_PROGRAM
    static TestDir dir;
    static bool rendered = false;
    if (!rendered) {
        const std::string cmd = shellQuote(ZELSIM_PROGRAM) + " render --scene boards --out " +
                                shellQuote(dir.path()) + " --poses " + std::to_string(kSimPoses) +
                                " --seed 7 --quiet";
        rendered = std::system(cmd.c_str()) == 0;
    }
    if (rendered && fs::exists(dir / "truth/boards.yaml")) return dir.path();
    *why = "zelsim render failed";
#else
    *why = "zelsim is not part of this build";
#endif
    return {};
}

}  // namespace calibrix::test
