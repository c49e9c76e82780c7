// The package-name check every operation relies on before it builds a path.
#include "operations/StatusText.h"

#include <gtest/gtest.h>

using operations::IsPlainFolderName;

TEST(IsPlainFolderName, RefusesAnythingThatIsNotOneFolderName) {
    for (const std::string& bad :
         {std::string(), std::string("."), std::string(".."), std::string("a/b"),
          std::string("../x"), std::string("a\\b"), std::string("/"), std::string("x\0y", 3)}) {
        EXPECT_FALSE(IsPlainFolderName(bad)) << bad;
    }
    for (const char* good : {"Example.Notes_abc", "...", ".hidden", "Café_x", "a b"}) {
        EXPECT_TRUE(IsPlainFolderName(good)) << good;
    }
}

TEST(StatusLines, CopyAndDeleteLinesDifferInTheBlanksBeforeTheResult) {
    EXPECT_EQ(operations::CopyLine("", " Backup ", "/s/", "/d/", true),
              " | Backup [from] /s/ [to] /d/  <OK>");
    EXPECT_EQ(operations::DeleteLine("App", " Reset ", "/p", false), "App | Reset /p <Error>");
}
