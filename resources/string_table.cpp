#include "string_table.h"

namespace rt88h {

std::string_view loadString(int id) {
  switch (id) {
    case IDS_ABOUTBOX: return "About RT-88H Updater(&A)...";
    case IDS_TIMEOUT_IDENTITY: return "Time out error(1)";
    case IDS_TIMEOUT_CHUNK: return "Time out error(2)";
    case IDS_TIMEOUT_ERASE: return "Time out error(3)";
    case IDS_ILLEGAL_DEVICE: return "Illegal device connected.";
    case IDS_SET_VERSIONUP_MODE: return "Please set the Version-up mode.";
    case IDS_TRANSFER_ERROR: return "Transfer error occurred.";
    case IDS_UPDATE_COMPLETED: return "Version update completed.";
    case IDS_IN_PROGRESS: return "In Progress.";
    case IDS_CANT_OPEN_MIDI_IN: return "Can't open MIDI In device.";
    case IDS_ERROR_CAPTION: return "Error";
    case IDS_CANT_OPEN_MIDI_OUT: return "Can't open MIDI Out device.";
    case IDS_ERASING_FLASH: return "Erasing Flash memory.";
    case IDS_DATA_TRANSMIT: return "Data transmit  %d / %d ";
    case IDS_CANT_START_UPDATE: return "Can't start the update.";
    case IDS_TEST_IMAGES_BADGE: return "TEST IMAGES";
    case IDS_TEST_IMAGES_RISK:
      return "This build carries test images, not firmware: writing them makes a real RT-88H "
             "unusable.";
    case IDS_TEST_IMAGES_QUESTION: return "Write them to the selected device anyway?";
    case IDS_ABOUT_TITLE: return "About RT-88H Updater";
    case IDS_ABOUT_TEST_IMAGES_LINE: return "RT-88H Updater — test images, not firmware";
    case IDS_ABOUT_TEST_IMAGES_DETAILS:
      return "Test images (generated): never flash them into a device.";
    case IDS_ABOUT_FIRMWARE_DETAILS: return "Firmware images (SHA-256):";
    case IDS_EXECUTE: return "Execute";
    case IDS_EXIT: return "Exit";
    case IDS_MIDI_IN_LABEL: return "MIDI IN";
    case IDS_MIDI_OUT_LABEL: return "MIDI OUT";
    case IDS_RESCAN_DEVICE: return "Rescan Device";
    case IDS_OK: return "OK";
    default: return "";
  }
}

}  // namespace rt88h
