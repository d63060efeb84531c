#pragma once
// The text side of the HTML editor, without the engine: the 7-bit form in which a document
// leaves the editor, the markup of a new table, and the renaming of a stored page's embedded
// files to where they lie here.
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// Every UTF-16 unit above 126 as "&#x%04X;" (a character outside the basic plane as its two
// units, each so written), every other unit as its byte; stops at the first NUL. Peers read
// bodies as 7-bit text.
std::string encodeHtmlOutput(std::u16string_view units);

// The output encoding writes a character outside the basic plane as two references, one per
// UTF-16 unit; an HTML parser reads each of them as a replacement character. Before a page is
// shown, every such adjacent pair becomes the character again (UTF-8).
std::string joinSurrogateReferences(std::string_view html);

// A bordered table of `rows` x `columns` cells, each holding an empty DIV block; empty when
// either is 0.
std::string tableHtml(int rows, int columns);

// A page as loaded from a file: for every i from 1 on, each occurrence of the file-name part
// of fromNames[i] (after its last "/" or "\") becomes toNames[i]. An occurrence that is itself
// the end of a longer path (after "/" or "\") is left alone: the page already names a path.
std::string mapFileNames(std::string text, const std::vector<std::string>& fromNames,
                         const std::vector<std::string>& toNames);

// The default font of new documents: the face and the size in pixels from the settings;
// empty ones give Arial (宋体 in Chinese) and 24. A size without a number gives 24.
struct DefaultFont {
    std::string face;
    int pixels = 24;
};
DefaultFont defaultFont(std::string_view face, std::string_view size, bool chinese);

}  // namespace orv
