#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "Driver.h"
#include "platform/Disks.h"

namespace driver {

namespace {
const char* const kUsage =
    "usage: scan_driver --image PATH[@SECTORSIZE] [--image ...] --mode deleted|complete\n"
    "                   [--volume INDEX|all|none|disk:N] [--recover DIR] [--json FILE] [--save FILE.rsf]\n"
    "                   [--lost-reason 0-3]\n"
    "       scan_driver --image PATH[@SECTORSIZE] [--image ...] --load FILE.rsf [--recover DIR] [--json FILE]\n";

// Empty when the argument is usable, else what is wrong with it.
std::string ParseImage(const std::string& arg, std::pair<std::string, u32>& out) {
    const size_t at = arg.rfind('@');
    if (at == std::string::npos) {
        out = {arg, 0};
        return arg.empty() ? "empty image path" : "";
    }
    const std::string size = arg.substr(at + 1);
    const bool digits = !size.empty() && size.find_first_not_of("0123456789") == std::string::npos && size.size() <= 6;
    const unsigned long n = digits ? std::strtoul(size.c_str(), nullptr, 10) : 0;
    if (!IsSupportedImageSectorSize(static_cast<u32>(n))) {
        return "bad sector size in " + arg + ": a power of two from " + std::to_string(kMinImageSectorSize) + " to " +
               std::to_string(kMaxImageSectorSize);
    }
    out = {arg.substr(0, at), static_cast<u32>(n)};
    return out.first.empty() ? "empty image path in " + arg : "";
}
// Where the value of an option that names a file or folder goes; null for any other option.
std::string* PathOption(Options& options, const std::string& name) {
    if (name == "--recover") return &options.recoverDir;
    if (name == "--json") return &options.jsonPath;
    if (name == "--save") return &options.savePath;
    if (name == "--load") return &options.loadPath;
    return nullptr;
}
}  // namespace

std::string ParseOptions(int argc, char** argv, Options& out) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") return "help";
        if (i + 1 >= argc) return "missing value after " + a;
        const std::string v = argv[++i];
        if (a == "--image") {
            std::pair<std::string, u32> image;
            const std::string error = ParseImage(v, image);
            if (!error.empty()) return error;
            if (image.first.find(':') != std::string::npos) return "an image path may not contain ':': " + v;
            out.images.push_back(image);
        } else if (a == "--mode") {
            out.mode = v;
        } else if (a == "--volume") {
            out.volume = v;
        } else if (std::string* path = PathOption(out, a)) {
            // An empty path would silently turn the option off: the caller asked for something.
            if (v.empty()) return a + " needs a path, not an empty one";
            *path = v;
        } else if (a == "--lost-reason") {
            // The wizard's lost-data reason: a nonzero one lets the complete scan hand out more
            // than one found partition.
            if (v.size() != 1 || v[0] < '0' || v[0] > char('0' + kMaxLostReason)) {
                return "--lost-reason must be 0 to " + std::to_string(kMaxLostReason);
            }
            out.lostReason = static_cast<u32>(v[0] - '0');
        } else {
            return "unknown option " + a;
        }
    }
    if (out.images.empty()) return "no --image given";
    if (!out.loadPath.empty()) {
        if (!out.mode.empty() || !out.savePath.empty()) return "--load replaces the scan: no --mode or --save with it";
        return "";
    }
    // Only the list is asked for: nothing is scanned, so no mode is needed.
    if (out.volume == "none" && out.mode.empty()) return out.savePath.empty() ? "" : "--save needs a scan, not --volume none";
    if (out.mode != "deleted" && out.mode != "complete") return "--mode must be deleted or complete";
    return "";
}

}  // namespace driver

int main(int argc, char** argv) {
    driver::Options options;
    const std::string error = driver::ParseOptions(argc, argv, options);
    if (!error.empty()) {
        if (error != "help") std::fprintf(stderr, "scan_driver: %s\n", error.c_str());
        std::fputs(driver::kUsage, error == "help" ? stdout : stderr);
        return error == "help" ? driver::kExitOk : driver::kExitFailed;
    }
    driver::Report report;
    int status = driver::Run(options, report);
    // The report is written whatever the status: it says what ran and what failed.
    if (!options.jsonPath.empty()) {
        std::ofstream json(options.jsonPath, std::ios::binary | std::ios::trunc);
        json << driver::ToJson(report) << "\n";
        if (!json) {
            std::fprintf(stderr, "scan_driver: cannot write %s\n", options.jsonPath.c_str());
            status = driver::kExitFailed;
        }
    }
    return status;
}
