// The editor's text logic and the files of a saved page, without the engine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/clock.h"
#include "core/core_tables.h"
#include "editor/logic/html_text.h"
#include "mail/editor_save.h"
#include "support/temp_dir.h"

using namespace orv;

TEST(EditorText, OutputEncoding) {
    EXPECT_EQ(encodeHtmlOutput(u"a~\u007F\u00E9\u4E2D"), "a~&#x007F;&#x00E9;&#x4E2D;");
    EXPECT_EQ(encodeHtmlOutput(u"\U0001F600"), "&#xD83D;&#xDE00;");
    EXPECT_EQ(encodeHtmlOutput(std::u16string_view(u"ab\0cd", 5)), "ab");
    EXPECT_EQ(joinSurrogateReferences("a&#xD83D;&#xDE00;b &#xD83D; &amp; &#x4E2D;"),
              "a\xF0\x9F\x98\x80"
              "b &#xD83D; &amp; &#x4E2D;");
}

TEST(EditorText, TableAndNames) {
    EXPECT_EQ(tableHtml(1, 2),
              "<TABLE border=1 cellpadding=3><TR><TD><DIV>&nbsp;</DIV></TD><TD><DIV>&nbsp;</DIV>"
              "</TD></TR></TABLE>");
    EXPECT_EQ(tableHtml(0, 2), "");
    // The first entry is the page itself; later ones are renamed, a path left alone.
    EXPECT_EQ(mapFileNames("<img src=\"A.png\"><img src=\"/x/A.png\"> P.htm",
                           {"C:\\s\\P.htm", "C:\\s\\A.png"}, {"/r/P.htm", "file:///r/A.png"}),
              "<img src=\"file:///r/A.png\"><img src=\"/x/A.png\"> P.htm");
    EXPECT_EQ(defaultFont("", "", false).face, "Arial");
    EXPECT_EQ(defaultFont("", "", true).face, "宋体");
    EXPECT_EQ(defaultFont("", "", true).pixels, 24);
    EXPECT_EQ(defaultFont("Courier", "large", false).pixels, 24);
    EXPECT_EQ(defaultFont("Courier", "18", false).pixels, 18);
}

TEST(EditorSaveFiles, CopiesAndRefusals) {
    test::TempDir dir;
    SystemClock clock;
    CoreTables t(clock, dir.path() + "/recvfile/");
    std::ofstream(dir.file("p.gif")) << "gif";
    std::ofstream(dir.file("noext")) << "raw";
    EditorSave s =
        beginEditorSave(t,
                        {"file://" + dir.file("p.gif"), "http://host/x.png",
                         "FILE://" + dir.file("noext"), "file://" + dir.file("missing.png")},
                        false, true);
    ASSERT_TRUE(s.ok);
    ASSERT_EQ(s.outList.size(), 4u);
    EXPECT_EQ(s.newSources[1], "");
    EXPECT_NE(s.newSources[0].find(".gif"), std::string::npos);
    EXPECT_EQ(s.newSources[2].find('.'), std::string::npos);
    // A copy that fails still names the new file.
    EXPECT_FALSE(std::filesystem::exists(s.outList[3]));
    EXPECT_FALSE(s.newSources[3].empty());
    EXPECT_TRUE(finishEditorSave(s, "<html></html>"));
    std::ifstream f(s.bodyPath, std::ios::binary);
    std::string body((std::istreambuf_iterator<char>(f)), {});
    EXPECT_EQ(body, std::string("<html></html>") + '\0');
    EXPECT_EQ(localPathOfFileUrl("file:///a%20b/c.png?x#y"), "/a b/c.png");

    // The store cannot be made: nothing is written.
    std::ofstream(dir.file("blocked")) << "a file where the folder would be";
    CoreTables blocked(clock, dir.file("blocked") + "/recvfile/");
    EditorSave none = beginEditorSave(blocked, {"file://" + dir.file("p.gif")}, false, true);
    EXPECT_FALSE(none.ok);
    EXPECT_TRUE(none.outList.empty());
}
