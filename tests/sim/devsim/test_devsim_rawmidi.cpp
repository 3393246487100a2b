// rt88h-devsim on a raw MIDI device: its option, and how the byte stream it reads is cut into
// the pieces the input side follows.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "midi/backends/common.h"
#include "midi/backends/lent_buffers.h"
#include "sim/devsim/options.h"
#include "sim/devsim/raw_stream.h"

namespace rt88h::devsim {
namespace {

bool parse(const std::vector<const char*>& args, Options& options, std::string* error = nullptr) {
  std::vector<const char*> argv{"rt88h-devsim"};
  argv.insert(argv.end(), args.begin(), args.end());
  return parseOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(DevsimRawMidi, OptionChoosesTheDevice) {
  Options options;
  ASSERT_TRUE(parse({"--rawmidi", "hw:0,1", "--drop-chunk", "3:7"}, options));
  EXPECT_EQ(options.backend, Backend::RawMidi);
  EXPECT_EQ(options.rawMidiDevice, "hw:0,1");
  EXPECT_EQ(options.faults.size(), 1u);
  EXPECT_NE(usage("rt88h-devsim").find("--rawmidi DEVICE"), std::string::npos);
}

TEST(DevsimRawMidi, OptionRefusesNoDeviceAndABackendBesideIt) {
  std::string error;
  Options a;
  EXPECT_FALSE(parse({"--rawmidi"}, a, &error));
  EXPECT_NE(error.find("--rawmidi"), std::string::npos);
  Options b;
  EXPECT_FALSE(parse({"--rawmidi", ""}, b, &error));
  Options c;
  EXPECT_FALSE(parse({"--backend", "alsa", "--rawmidi", "hw:0,1"}, c, &error));
  EXPECT_NE(error.find("exclude"), std::string::npos);
  Options d;
  EXPECT_FALSE(parse({"--rawmidi", "hw:0,1", "--backend", "jack"}, d, &error));
}

using Pieces = std::vector<std::vector<uint8_t>>;

Pieces split(const std::vector<uint8_t>& bytes) {
  Pieces pieces;
  splitRawStream(bytes.data(), bytes.size(), [&](const uint8_t* piece, std::size_t count) {
    pieces.emplace_back(piece, piece + count);
  });
  return pieces;
}

TEST(DevsimRawStream, TwoMessagesInOneReadAreTwoPieces) {
  EXPECT_EQ(split({0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7, 0xF0, 0x52, 0xF7}),
            (Pieces{{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}, {0xF0, 0x52, 0xF7}}));
}

TEST(DevsimRawStream, RealTimeBytesStandAloneInsideASysEx) {
  EXPECT_EQ(split({0xF0, 0x01, 0xF8, 0x02, 0xFE, 0xF7}),
            (Pieces{{0xF0, 0x01}, {0xF8}, {0x02}, {0xFE}, {0xF7}}));
}

TEST(DevsimRawStream, ShortMessagesKeepTheirDataAndCutNothingElse) {
  EXPECT_EQ(split({0x90, 0x3C, 0x40, 0xF0, 0x01, 0xF7, 0xC1, 0x05}),
            (Pieces{{0x90, 0x3C, 0x40}, {0xF0, 0x01, 0xF7}, {0xC1, 0x05}}));
}

TEST(DevsimRawStream, AReadBoundaryLeavesAContinuation) {
  EXPECT_EQ(split({0xF0, 0x01, 0x02}), (Pieces{{0xF0, 0x01, 0x02}}));
  EXPECT_EQ(split({0x03, 0x04, 0xF7, 0xF0}), (Pieces{{0x03, 0x04, 0xF7}, {0xF0}}));
  EXPECT_TRUE(split({}).empty());
}

// The pieces fed to the input side a back-end uses give back the messages whole, wherever the
// reads happened to end.
TEST(DevsimRawStream, ReadsOfAnyLengthGiveTheMessagesBack) {
  std::vector<uint8_t> stream;
  std::vector<std::vector<uint8_t>> sent;
  for (std::size_t length : {6u, 2359u, 7u, 300u}) {
    std::vector<uint8_t> message(length, 0x21);
    message.front() = 0xF0;
    message.back() = 0xF7;
    message[length / 2] = static_cast<uint8_t>(length & 0x7F);
    sent.push_back(message);
    stream.insert(stream.end(), message.begin(), message.end());
    stream.push_back(0xFE);  // active sensing between them
  }
  stream.insert(stream.begin() + 100, 0xF8);  // a clock inside the 2,359-byte message

  for (std::size_t readSize : {1u, 7u, 255u, 256u, 4096u}) {
    SCOPED_TRACE(readSize);
    std::vector<std::vector<uint8_t>> got;
    struct Sink {
      std::vector<std::vector<uint8_t>>* got = nullptr;
      midi::LentBuffers* buffers = nullptr;
      std::vector<uint8_t> bytes = std::vector<uint8_t>(8192);
      midi::MidiHeader header;
    } sink;
    sink.got = &got;
    // Copies and lends the buffer again at once, as the simulator does.
    midi::LentBuffers buffers(
        [](midi::InMessage message, void* instance, midi::MidiHeader* header, uint32_t) {
          auto* self = static_cast<Sink*>(instance);
          if (message == midi::InMessage::ShortData || header->bytesRecorded == 0) return;
          if (message == midi::InMessage::LongData) {
            self->got->emplace_back(header->data, header->data + header->bytesRecorded);
          }
          self->buffers->addBuffer(header);
        },
        &sink);
    sink.buffers = &buffers;
    midi::EventReader reader;
    sink.header.data = sink.bytes.data();
    sink.header.bufferLength = static_cast<uint32_t>(sink.bytes.size());
    ASSERT_EQ(buffers.prepare(&sink.header), midi::kMidiOk);
    ASSERT_EQ(buffers.addBuffer(&sink.header), midi::kMidiOk);
    buffers.start();
    for (std::size_t offset = 0; offset < stream.size(); offset += readSize) {
      const std::size_t count = std::min(readSize, stream.size() - offset);
      splitRawStream(stream.data() + offset, count, [&](const uint8_t* piece, std::size_t size) {
        midi::deliverPiece(piece, size, reader, buffers);
      });
    }
    buffers.close();
    EXPECT_EQ(got, sent);
  }
}

}  // namespace
}  // namespace rt88h::devsim
