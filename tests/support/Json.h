#pragma once
// A small JSON reader for the fixture manifests, their reach files and the scan driver's report.
#include <map>
#include <string>
#include <vector>

namespace testutil {

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    // A missing member reads as null.
    const Json& operator[](const std::string& key) const;
    bool Has(const std::string& key) const { return members.count(key) != 0; }
};

// The whole text must be one value (with blanks around it).
bool ParseJson(const std::string& text, Json& out);
bool ReadJsonFile(const std::string& path, Json& out);
// A fixture's JSON file by name ("fat16-basic.reach.json"); throws MissingFixture when the file
// is missing or does not parse, naming it.
Json LoadFixtureJson(const std::string& name);

}  // namespace testutil
