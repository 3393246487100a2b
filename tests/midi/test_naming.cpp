// Device names as the lists show them: cut to 31 characters and 39 bytes, duplicates numbered.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "midi/midi_service.h"

namespace rt88h::midi {
namespace {

using Names = std::vector<std::string>;

bool validUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

void expectWellFormed(const Names& shown) {
  std::set<std::string> distinct(shown.begin(), shown.end());
  EXPECT_EQ(distinct.size(), shown.size()) << "two entries are equal";
  for (const std::string& name : shown) {
    EXPECT_LE(name.size(), kMaxDeviceNameBytes) << name;
    EXPECT_TRUE(validUtf8(name)) << name;
  }
}

TEST(NamingRules, UniqueShortNamesAreShownAsTheyAre) {
  const Names raw = {"RT-88H", "USB Audio Device", "Midi Through Port-0"};
  EXPECT_EQ(applyNamingRules(raw), raw);
  EXPECT_TRUE(applyNamingRules({}).empty());
}

TEST(NamingRules, DuplicatesAreNumberedInListOrder) {
  EXPECT_EQ(applyNamingRules({"A", "B", "A", "B", "A"}),
            (Names{"A", "B", "A (2)", "B (2)", "A (3)"}));
  EXPECT_EQ(applyNamingRules({"USB Audio Device", "RT-88H", "USB Audio Device"}),
            (Names{"USB Audio Device", "RT-88H", "USB Audio Device (2)"}));
}

TEST(NamingRules, LongNamesAreCutTo31Bytes) {
  const std::string longName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  EXPECT_EQ(applyNamingRules({longName}), (Names{longName.substr(0, 31)}));
  EXPECT_EQ(applyNamingRules({longName.substr(0, 31)}), (Names{longName.substr(0, 31)}));
}

TEST(NamingRules, TheCutNeverSplitsAThreeByteCharacter) {
  const std::string a = "\xE3\x81\x82";  // あ
  for (std::size_t lead = 0; lead < 3; ++lead) {
    std::string name(lead, 'x');
    for (int i = 0; i < 14; ++i) name += a;
    const Names shown = applyNamingRules({name});
    ASSERT_EQ(shown.size(), 1u);
    // The longest whole-character prefix of at most 39 bytes.
    const std::size_t expected = lead + (39 - lead) / 3 * 3;
    EXPECT_EQ(shown[0], name.substr(0, expected)) << "lead " << lead;
    EXPECT_TRUE(validUtf8(shown[0])) << "lead " << lead;
  }
}

TEST(NamingRules, TheJapanesePreferredNameFitsWithEverySuffix) {
  // 13 characters but 32 bytes in UTF-8: a 31-byte limit would make it unmatchable.
  const std::string audio = "USB オーディオ デバイス";
  ASSERT_EQ(audio.size(), 32u);
  const Names shown = applyNamingRules({audio, audio, "ＲＴ－８８Ｈ"});
  EXPECT_EQ(shown[0], audio);
  EXPECT_EQ(shown[1], audio + " (2)");
  EXPECT_EQ(shown[2], "ＲＴ－８８Ｈ");
  expectWellFormed(shown);
  Names twenty(20, audio);
  EXPECT_EQ(applyNamingRules(twenty).back(), audio + " (20)");
}

TEST(NamingRules, AtMost31CharactersEvenWhenTheBytesWouldFit) {
  std::string accented;
  for (int i = 0; i < 40; ++i) accented += "\xC3\xA9";  // é, two bytes
  const Names shown = applyNamingRules({accented});
  EXPECT_EQ(shown[0], accented.substr(0, 38));  // 19 characters: the byte limit comes first
  std::string mixed(30, 'a');
  mixed += "\xC3\xA9\xC3\xA9";
  EXPECT_EQ(applyNamingRules({mixed})[0], mixed.substr(0, 32));  // 31 characters, 32 bytes
}

TEST(NamingRules, TheSuffixShortensA31ByteBase) {
  const std::string base = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234";
  ASSERT_EQ(base.size(), 31u);
  const Names shown = applyNamingRules({base, base, base});
  EXPECT_EQ(shown[0], base);
  EXPECT_EQ(shown[1], "ABCDEFGHIJKLMNOPQRSTUVWXYZ0 (2)");
  EXPECT_EQ(shown[2], "ABCDEFGHIJKLMNOPQRSTUVWXYZ0 (3)");
  for (const std::string& name : shown) EXPECT_EQ(name.size(), 31u);
}

TEST(NamingRules, NamesEqualAfterTheCutAreDuplicates) {
  const std::string stem = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234";
  const Names shown = applyNamingRules({stem + "-first", stem + "-second"});
  EXPECT_EQ(shown, (Names{stem, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0 (2)"}));
}

TEST(NamingRules, AGeneratedNameNeverTakesARealDevicesName) {
  // The real "A (2)" keeps its name wherever it stands; the second "A" takes the next number.
  EXPECT_EQ(applyNamingRules({"A", "A", "A (2)"}), (Names{"A", "A (3)", "A (2)"}));
  EXPECT_EQ(applyNamingRules({"A (2)", "A", "A"}), (Names{"A (2)", "A", "A (3)"}));
  EXPECT_EQ(applyNamingRules({"A", "A (2)", "A", "A (2)"}),
            (Names{"A", "A (2)", "A (3)", "A (2) (2)"}));
}

TEST(NamingRules, CutBasesThatMeetStayApart) {
  // Two different 31-byte names shorten to the same 27-byte base for their suffix.
  const std::string one = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123X";
  const std::string two = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123Y";
  const Names shown = applyNamingRules({one, one, two, two});
  EXPECT_EQ(shown[0], one);
  EXPECT_EQ(shown[1], "ABCDEFGHIJKLMNOPQRSTUVWXYZ0 (2)");
  EXPECT_EQ(shown[2], two);
  EXPECT_EQ(shown[3], "ABCDEFGHIJKLMNOPQRSTUVWXYZ0 (3)");
  expectWellFormed(shown);
}

TEST(NamingRules, EveryMixStaysDistinctShortAndValid) {
  const std::string jp = "デバイスデバイスデバイス";  // 36 bytes
  const std::string ascii31 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234";
  const std::vector<Names> lists = {
      {"A", "A (2)", "A (2)", "A", "A", "A (3)", "A (2) (2)"},
      {jp, jp, jp, jp + "x", "デバイスデバイスデバ (2)", jp},
      {ascii31, ascii31 + "1", ascii31 + "2", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0 (2)", ascii31},
      {"", "", "", " (2)"},
  };
  for (const Names& raw : lists) {
    const Names shown = applyNamingRules(raw);
    ASSERT_EQ(shown.size(), raw.size());
    expectWellFormed(shown);
  }
}

TEST(NamingRules, ANameEndsAtItsFirstNul) {
  const std::string withNul("AB\0CD", 5);
  EXPECT_EQ(applyNamingRules({withNul, "AB"}), (Names{"AB", "AB (2)"}));
}

}  // namespace
}  // namespace rt88h::midi
