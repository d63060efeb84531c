#pragma once
// The text index of the mail bodies, kept in a SQLite file beside cfg.dat so that Find does not
// read every body file again. Each complete body file is indexed once under its path (a body
// file is written once under a fresh name and never changed), with the text bodySearchText
// gives; files that left the tables leave the index. Keywords of three characters or more go
// through the trigram index; shorter ones scan the stored texts. A file that cannot be opened
// as an index of this version is replaced and rebuilt.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/core_tables.h"

struct sqlite3;

namespace orv {

// What Find tests of a body file's contents: the bytes as stored, then (when it differs) the
// text with its character references decoded, so that "中" finds "&#x4E2D;". NULs and
// broken UTF-8 sequences become line breaks and U+FFFD. Letters are not folded here.
std::string bodySearchText(std::string_view raw);
// ASCII letters to lower case, as the search compares them.
std::string foldAscii(std::string_view s);

// Whether attachment a of mail m is a body file Find reads, and whether it is complete (a
// received body still coming in is read from disk instead of being indexed half).
bool isSearchedBody(const CoreTables& t, int m, size_t fileNumber, int a);
bool bodyComplete(const CoreTables& t, int m, int a);

class MailIndex {
  public:
    // Opens (or creates, or replaces) the index file at path. ok() is false when SQLite cannot
    // open any file there; the search then reads the bodies itself.
    MailIndex(const CoreTables& t, std::string path);
    ~MailIndex();
    MailIndex(const MailIndex&) = delete;
    MailIndex& operator=(const MailIndex&) = delete;

    bool ok() const { return db_ != nullptr; }
    const std::string& path() const { return path_; }

    // Compares the index with the tables' body files: removes what has gone, lists what is
    // new. Returns how many files wait to be read.
    int plan();
    // Reads and indexes up to budget of the waiting files. True when none waits any more.
    bool addSome(int budget);
    int waiting() const { return static_cast<int>(todo_.size() - todoNext_); }
    // plan() and addSome() to the end.
    void syncAll();
    // Indexes mail m's complete body files now (its files have just come in).
    void addMail(int m);

    // Row ids of the indexed bodies whose text holds keyword (ASCII case ignored). False on a
    // database error (the caller then reads the files).
    bool find(std::string_view keyword, std::unordered_set<int64_t>& ids);
    // The row id under which attachment row a is indexed, -1 when it is not (or the tables
    // have changed since the index looked at them: the caller then reads the file).
    int64_t idOf(int a);
    bool indexed(const std::string& path) const { return ids_.count(path) != 0; }
    size_t size() const { return ids_.size(); }

  private:
    bool openAt();
    void close();
    bool exec(const char* sql);
    uint64_t tablesStamp() const;

    const CoreTables& t_;
    std::string path_;
    sqlite3* db_ = nullptr;
    std::unordered_map<std::string, int64_t> ids_;  // indexed path -> row id
    std::vector<std::string> todo_;
    std::unordered_map<std::string, std::vector<int>> todoRows_;  // attachment rows of each
    size_t todoNext_ = 0;
    // What plan() last saw: nothing to compare again while the tables keep their shape and no
    // body was still coming in.
    uint64_t plannedStamp_ = 0;
    bool incompleteSeen_ = true;
    std::vector<int64_t> attIds_;  // per attachment row, filled on demand
    uint64_t attIdsStamp_ = 0;
    bool attIdsValid_ = false;
};

}  // namespace orv
