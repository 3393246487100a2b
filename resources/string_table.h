#pragma once
// The string table and the fixed texts of the program, all UTF-8.
#include <array>
#include <string_view>

namespace rt88h {

enum StringId : int {
#define RT88H_STRING(name, id, text) name = (id),
#include "resources/string_table.def"
#undef RT88H_STRING
};

// The text with that id; "" for an id the table lacks.
std::string_view loadString(int id);

// Texts outside the string table.
inline constexpr std::string_view kMidiOutError = "Midi Out Error";
inline constexpr std::string_view kProductTitle = "Tavo RT-88H System v2.01";
inline constexpr std::string_view kNumberedTitleFormat = "Tavo RT-88H System v2.01 (%d)";
inline constexpr std::string_view kTooManyInstancesFormat =
    "It is forbidden to launch more than %d instance of this application.";
inline constexpr std::string_view kMidiOutOpenFailed = "MIDI OUTデバイスが開けません";
inline constexpr std::string_view kStepCounterStartFormat = "0/%d";
inline constexpr std::string_view kStepCounterFormat = "%d/%d";

inline constexpr std::array<std::string_view, 3> kPreferredDeviceNames{
    "USB オーディオ デバイス", "USB Audio Device", "TAVO RT Series"};

inline constexpr int kMaxInstances = 20;

}  // namespace rt88h
