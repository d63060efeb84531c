#pragma once
// The files of a page leaving the HTML editor: a new body file "%X.htm" in the mail store and
// a copy of every local picture beside it under a new random name with the picture's
// extension. The editor reads the pictures' addresses from its document, asks here for their
// new ones, puts them into the document and hands back its text to be written.
#include <string>
#include <string_view>
#include <vector>

#include "core/core_tables.h"

namespace orv {

struct EditorSave {
    bool ok = false;                   // the body file was created
    std::string bodyPath;              // the new, still empty body file
    std::vector<std::string> outList;  // the body file, then every local picture in order
    // One entry per picture address given: its new address, or empty to keep it.
    std::vector<std::string> newSources;
};

// Steps 1 to 3 of saving: creates the body file, then for every address that begins with
// "file:///" (any case) copies the file into the store when `copyAll` is set or it lies
// elsewhere. A copy is named by file name alone, or by its full file URL when `fullPaths` is
// set (the signature, whose pictures are used from other pages; then a kept picture is named
// by its full file URL too). A copy that fails still
// gives the new name. Nothing is created (ok false) when the body file cannot be.
EditorSave beginEditorSave(const CoreTables& t, const std::vector<std::string>& sources,
                           bool fullPaths, bool copyAll);
// Step 4: the page followed by one NUL byte. False (and the body file removed) on failure.
bool finishEditorSave(const EditorSave& s, std::string_view html);

// The local path a "file:///" address names (%XX decoded, query and fragment dropped); empty
// for any other address.
std::string localPathOfFileUrl(std::string_view url);

}  // namespace orv
