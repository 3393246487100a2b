#include <gtest/gtest.h>

#include <set>
#include <string_view>

#include "resources/string_table.h"

namespace rt88h {
namespace {

// Every word the user can read, pinned once; non-ASCII as bytes, so that a source file saved in
// another encoding cannot pass.
struct Entry {
  int id;
  std::string_view text;
};

constexpr Entry kTable[] = {
    {IDS_ABOUTBOX, "About RT-88H Updater(&A)..."},
    {IDS_TIMEOUT_IDENTITY, "Time out error(1)"},
    {IDS_TIMEOUT_CHUNK, "Time out error(2)"},
    {IDS_TIMEOUT_ERASE, "Time out error(3)"},
    {IDS_ILLEGAL_DEVICE, "Illegal device connected."},
    {IDS_SET_VERSIONUP_MODE, "Please set the Version-up mode."},
    {IDS_TRANSFER_ERROR, "Transfer error occurred."},
    {IDS_UPDATE_COMPLETED, "Version update completed."},
    {IDS_IN_PROGRESS, "In Progress."},
    {IDS_CANT_OPEN_MIDI_IN, "Can't open MIDI In device."},
    {IDS_ERROR_CAPTION, "Error"},
    {IDS_CANT_OPEN_MIDI_OUT, "Can't open MIDI Out device."},
    {IDS_ERASING_FLASH, "Erasing Flash memory."},
    {IDS_DATA_TRANSMIT, "Data transmit  %d / %d "},
    {IDS_CANT_START_UPDATE, "Can't start the update."},
    {IDS_TEST_IMAGES_BADGE, "TEST IMAGES"},
    {IDS_TEST_IMAGES_RISK,
     "This build carries test images, not firmware: writing them makes a real RT-88H unusable."},
    {IDS_TEST_IMAGES_QUESTION, "Write them to the selected device anyway?"},
    {IDS_ABOUT_TITLE, "About RT-88H Updater"},
    {IDS_ABOUT_TEST_IMAGES_LINE, "test images, not firmware"},
    {IDS_ABOUT_TEST_IMAGES_DETAILS, "Test images (generated): never flash them into a device."},
    {IDS_ABOUT_FIRMWARE_DETAILS, "Firmware images (SHA-256):"},
    {IDS_EXECUTE, "Execute"},
    {IDS_EXIT, "Exit"},
    {IDS_MIDI_IN_LABEL, "MIDI IN"},
    {IDS_MIDI_OUT_LABEL, "MIDI OUT"},
    {IDS_RESCAN_DEVICE, "Rescan Device"},
    {IDS_OK, "OK"},
    {IDS_DEVICE_DISCONNECTED,
     "The RT-88H was disconnected. Connect it again, press Rescan Device, then Execute."},
    {IDS_STOP_UPDATE_QUESTION,
     "Stop the update? The RT-88H stays partly written until it is updated again."},
    {IDS_INHIBITOR_WHO, "RT-88H Updater"},
    {IDS_INHIBITOR_WHY, "Updating the RT-88H firmware"},
};

TEST(StringTable, EveryEntryWordForWordAndNoOther) {
  std::set<int> pinned;
  for (const Entry& entry : kTable) {
    EXPECT_EQ(loadString(entry.id), entry.text) << "id " << entry.id;
    EXPECT_TRUE(pinned.insert(entry.id).second) << "id " << entry.id << " twice";
  }
#ifdef _WIN32
  // japanese_text.rc: the resource test's own text, linked in beside ours, read back byte for byte.
  EXPECT_EQ(loadString(60000), kMidiOutOpenFailed);
  pinned.insert(60000);
#endif
  // An entry added without its wording here fails.
  for (int id = -1; id <= 0xFFFF; ++id) {
    if (!pinned.contains(id)) {
      EXPECT_EQ(loadString(id), "") << "id " << id;
    }
  }

  EXPECT_EQ(kMidiOutError, "Midi Out Error");
  EXPECT_EQ(kProductTitle, "Tavo RT-88H System v2.01");
  EXPECT_EQ(kNumberedTitleFormat, "Tavo RT-88H System v2.01 (%d)");
  EXPECT_EQ(kTooManyInstancesFormat,
            "It is forbidden to launch more than %d instance of this application.");
  EXPECT_EQ(kMidiOutOpenFailed,
            "MIDI OUT\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9\xE3\x81\x8C\xE9\x96\x8B\xE3"
            "\x81\x91\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93");
  EXPECT_EQ(kStepCounterStartFormat, "0/%d");
  EXPECT_EQ(kStepCounterFormat, "%d/%d");
  EXPECT_EQ(kPreferredDeviceNames[0],
            "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
            "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9");
  EXPECT_EQ(kPreferredDeviceNames[1], "USB Audio Device");
  EXPECT_EQ(kPreferredDeviceNames[2], "TAVO RT Series");
  EXPECT_EQ(kMaxInstances, 20);
}

}  // namespace
}  // namespace rt88h
