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

// A list as the system gives it, and as it is shown.
TEST(NamingRules, EachListIsShownAsTheTableSays) {
  const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const std::string base = letters.substr(0, 31);
  const std::string suffixed = letters.substr(0, 27);  // room for " (2)"
  // 13 characters but 32 bytes in UTF-8: a 31-byte limit would make it unmatchable.
  const std::string audio = "USB オーディオ デバイス";
  std::string accented;
  for (int i = 0; i < 40; ++i) accented += "\xC3\xA9";  // é, two bytes
  const std::string mixed = std::string(30, 'a') + "\xC3\xA9\xC3\xA9";
  const std::vector<std::pair<Names, Names>> rows{
      {{}, {}},
      {{"RT-88H", "USB Audio Device", "Midi Through Port-0"},
       {"RT-88H", "USB Audio Device", "Midi Through Port-0"}},
      // Duplicates are numbered in list order.
      {{"A", "B", "A", "B", "A"}, {"A", "B", "A (2)", "B (2)", "A (3)"}},
      {{"USB Audio Device", "RT-88H", "USB Audio Device"},
       {"USB Audio Device", "RT-88H", "USB Audio Device (2)"}},
      // Long names are cut to 31 bytes, and a suffix shortens a 31-byte base.
      {{letters}, {base}},
      {{base}, {base}},
      {{base, base, base}, {base, suffixed + " (2)", suffixed + " (3)"}},
      // Names equal after the cut are duplicates; bases that meet after their cut stay apart.
      {{base + "-first", base + "-second"}, {base, suffixed + " (2)"}},
      {{base.substr(0, 30) + "X", base.substr(0, 30) + "X", base.substr(0, 30) + "Y",
        base.substr(0, 30) + "Y"},
       {base.substr(0, 30) + "X", suffixed + " (2)", base.substr(0, 30) + "Y", suffixed + " (3)"}},
      // A generated name never takes a real device's: the real "A (2)" keeps its name.
      {{"A", "A", "A (2)"}, {"A", "A (3)", "A (2)"}},
      {{"A (2)", "A", "A"}, {"A (2)", "A", "A (3)"}},
      {{"A", "A (2)", "A", "A (2)"}, {"A", "A (2)", "A (3)", "A (2) (2)"}},
      // The Japanese preferred name fits with every suffix.
      {{audio, audio, "ＲＴ－８８Ｈ"}, {audio, audio + " (2)", "ＲＴ－８８Ｈ"}},
      // At most 31 characters even when the bytes would fit; the byte limit may come first.
      {{accented}, {accented.substr(0, 38)}},
      {{mixed}, {mixed.substr(0, 32)}},
      // A name ends at its first NUL.
      {{std::string("AB\0CD", 5), "AB"}, {"AB", "AB (2)"}},
  };
  for (const auto& [raw, shown] : rows) {
    const Names got = applyNamingRules(raw);
    EXPECT_EQ(got, shown);
    expectWellFormed(got);
  }
  EXPECT_EQ(audio.size(), 32u);
  const Names twenty = applyNamingRules(Names(20, audio));
  EXPECT_EQ(twenty.back(), audio + " (20)");
  expectWellFormed(twenty);
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

}  // namespace
}  // namespace rt88h::midi
