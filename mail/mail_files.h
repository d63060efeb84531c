#pragma once
// Where a mail's files lie on disk, and the small file helpers the mail logic shares.
#include <string>
#include <string_view>
#include <vector>

#include "core/core_tables.h"

namespace orv {

// The path with "." and ".." resolved lexically (no file system access).
std::string normalPath(std::string_view path);
// Whether path lies inside folder (lexically, at a folder boundary, exact case: the file system
// is case-sensitive). An empty folder contains nothing.
bool isInsideFolder(std::string_view path, std::string_view folder);
// Whether attachment row a is part of its mail's body.
bool isBodyFile(const CoreTables& t, int a);
// The local copy of body file a: the mail store plus its name when the stored path is a full
// path, otherwise the stored path.
std::string bodyFileLocation(const CoreTables& t, int a);
// Every local path attachment row a may occupy: its stored path, and for a body file the copy
// in the mail store.
std::vector<std::string> localFilesOf(const CoreTables& t, int a);
// The file's name: the part after the last "/".
std::string_view fileNameOf(std::string_view path);
bool readWholeFile(const std::string& path, std::string& out);
// The file: URL of a local path as it is written into a mail's HTML, with the characters that
// would end or break the attribute escaped.
std::string fileUrl(std::string_view path);

}  // namespace orv
