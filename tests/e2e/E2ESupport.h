#pragma once
// What the end-to-end tests share: a small JSON reader (manifests and the driver's report), the
// scan driver's invocation, and a look at folders on disk.
#include <map>
#include <string>
#include <vector>

#include "platform/Types.h"

namespace e2e {

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    // A missing member reads as null.
    const Json& operator[](const std::string& key) const;
};
bool ParseJson(const std::string& text, Json& out);
bool ReadJsonFile(const std::string& path, Json& out);

// Runs the built scan driver with the arguments (each one quoted) in the folder `cwd`; its
// output goes to `log`. Returns the exit status, -1 when it could not run.
int RunDriver(const std::vector<std::string>& args, const std::string& cwd, const std::string& log);

// Every regular file below root, as paths relative to it.
std::vector<std::string> ListFiles(const std::string& root);
// Every entry (file or folder) directly in a folder.
std::vector<std::string> ListEntries(const std::string& folder);
// Seconds since 1970 of a manifest time "YYYY-MM-DDTHH:MM:SSZ"; -1 when it is not one.
i64 ParseUtc(const std::string& text);
i64 ModificationTime(const std::string& path);

}  // namespace e2e
