// Which device the window preselects: the last entry equal to a preferred name of this copy.
#include <gtest/gtest.h>

#include "app/core/preselect.h"
#include "midi/midi_api.h"

namespace rt88h::app {
namespace {

using Names = std::vector<std::string>;

// The Japanese name as UTF-8 bytes: "USB " + 5 kana of 3 bytes + " " + 4 kana of 3 bytes.
TEST(PreferredNames, CopyOneTakesTheNamesUnchangedOtherCopiesTheirNumberAsSuffix) {
  EXPECT_EQ(preferredNames(1),
            (Names{"USB オーディオ デバイス", "USB Audio Device", "TAVO RT Series"}));
  EXPECT_EQ(preferredNames(1)[0].size(), 4u + 5u * 3u + 1u + 4u * 3u);
  EXPECT_EQ(static_cast<unsigned char>(preferredNames(1)[0][4]), 0xE3);
  EXPECT_EQ(preferredNames(2),
            (Names{"USB オーディオ デバイス (2)", "USB Audio Device (2)", "TAVO RT Series (2)"}));
  EXPECT_EQ(preferredNames(20)[2], "TAVO RT Series (20)");
}

// The ASCII names as formatted. The Japanese one: 32 bytes in UTF-8, 36 with a suffix; a list
// cuts longer names, so the suffix must survive any cut, or every copy would look for the device
// of copy 1.
TEST(PreferredNames, AsListedTheAsciiNamesAreTheFormattedOnesAndTheJapaneseOneFitsWithItsSuffix) {
  for (int n = 1; n <= 20; ++n) {
    const Names all = preferredNamesAsListed(n);
    EXPECT_EQ(all[1], preferredNames(n)[1]) << n;
    EXPECT_EQ(all[2], preferredNames(n)[2]) << n;
    const std::string listed = all[0];
    EXPECT_LE(listed.size(), midi::kMaxDeviceNameBytes) << n;
    EXPECT_EQ(listed.rfind("USB オーディオ デ", 0), 0u) << listed;
    if (n > 1) {
      const std::string suffix = " (" + std::to_string(n) + ")";
      EXPECT_EQ(listed.substr(listed.size() - suffix.size()), suffix);
    }
    if (preferredNames(n)[0].size() <= midi::kMaxDeviceNameBytes) {
      EXPECT_EQ(listed, preferredNames(n)[0]);
    }
  }
  EXPECT_NE(preferredNamesAsListed(1)[0], preferredNamesAsListed(2)[0]);
}

// The last entry equal byte for byte to a preferred name of the copy.
TEST(Preselection, TheLastEntryEqualToAPreferredNameOfTheCopy) {
  struct Case {
    Names entries;
    int copy;
    int expected;
  };
  const Case cases[] = {
      {{"A", "USB Audio Device", "B", "USB Audio Device"}, 1, 3},
      {{"TAVO RT Series", "X", "USB Audio Device"}, 1, 2},  // position beats the table's order
      {{"USB Audio Device", "X", "TAVO RT Series", "Y"}, 1, 2},
      {{"USB Audio Device (2)", "USB Audio Device"}, 2, 0},
      {{"USB Audio Device", "TAVO RT Series"}, 2, -1},
      {{"USB Audio Device (2)"}, 1, -1},
      {{"USB Audio Device (2)"}, 3, -1},
      {{"usb audio device", "USB Audio Device ", " USB Audio Device", "TAVO RT SERIES",
        "USB Audio Devic"},
       1,
       -1},
      {{"X", "USB オーディオ デバイス"}, 1, 1},
      {{"USB　オーディオ デバイス"}, 1, -1},  // a full-width blank: other bytes
      {{}, 1, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(preselectedPosition(c.entries, preferredNames(c.copy)), c.expected)
        << (c.entries.empty() ? "" : c.entries.front()) << ", copy " << c.copy;
  }
}

}  // namespace
}  // namespace rt88h::app
