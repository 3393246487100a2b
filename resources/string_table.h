#pragma once
// The string table and the fixed texts of the program, all UTF-8.
#include <array>
#include <string_view>

namespace rt88h {

enum StringId : int {
  IDS_ABOUTBOX = 101,
  IDS_TIMEOUT_IDENTITY = 102,
  IDS_TIMEOUT_CHUNK = 103,
  IDS_TIMEOUT_ERASE = 104,
  IDS_ILLEGAL_DEVICE = 105,
  IDS_SET_VERSIONUP_MODE = 106,
  IDS_TRANSFER_ERROR = 107,
  IDS_UPDATE_COMPLETED = 108,
  IDS_IN_PROGRESS = 109,
  IDS_CANT_OPEN_MIDI_IN = 110,
  IDS_ERROR_CAPTION = 111,
  IDS_CANT_OPEN_MIDI_OUT = 113,
  IDS_ERASING_FLASH = 114,
  IDS_DATA_TRANSMIT = 115,
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

// A build with generated payloads in place of firmware says so and asks before writing them.
inline constexpr std::string_view kTestImagesBadge = "TEST IMAGES";
inline constexpr std::string_view kTestImagesRisk =
    "This build carries test images, not firmware: writing them makes a real RT-88H unusable.";
inline constexpr std::string_view kTestImagesQuestion = "Write them to the selected device anyway?";

inline constexpr std::array<std::string_view, 3> kPreferredDeviceNames{
    "USB オーディオ デバイス", "USB Audio Device", "TAVO RT Series"};

inline constexpr int kMaxInstances = 20;

}  // namespace rt88h
