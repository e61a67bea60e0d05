#pragma once
// Names for the temporary copies that previews make of found files, and their removal. The copies
// live in the user's cache folder; a copy may have ".doc" and ".xls" siblings under the same name,
// which belong to it and go with it. The most recent copy is removed when the program ends.
#include <string>

class CTempPathNameSignle {
public:
    static CTempPathNameSignle& GetInstance();
    virtual ~CTempPathNameSignle();

    // A new name ("~@!" + hex number + ".tmp" in the cache folder) that no file has when the call
    // returns; kept as the most recent one. Empty when no name could be made.
    std::string GetTempName();
    // Whether a file of the most recent name exists.
    bool Exists() const;
    const std::string& MostRecent() const { return last_; }

protected:
    CTempPathNameSignle() = default;

private:
    std::string last_;
};

// Removes the file of that name and its ".doc" and ".xls" siblings; read-only copies too; nothing
// for an empty name. Only the ending is exchanged: a folder named like "x.tmp" on the way is left
// alone.
void DeleteTempCopies(const std::string& name);
