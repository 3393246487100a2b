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
  // Ours, above the system's ids: the window's and About box's controls, and what a build with
  // test images and a failed start add.
  IDS_CANT_START_UPDATE = 201,
  IDS_TEST_IMAGES_BADGE = 202,
  IDS_TEST_IMAGES_RISK = 203,
  IDS_TEST_IMAGES_QUESTION = 204,
  IDS_ABOUT_TITLE = 205,
  IDS_ABOUT_TEST_IMAGES_LINE = 206,
  IDS_ABOUT_TEST_IMAGES_DETAILS = 207,
  IDS_ABOUT_FIRMWARE_DETAILS = 208,
  IDS_EXECUTE = 209,
  IDS_EXIT = 210,
  IDS_MIDI_IN_LABEL = 211,
  IDS_MIDI_OUT_LABEL = 212,
  IDS_RESCAN_DEVICE = 213,
  IDS_OK = 214,
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
