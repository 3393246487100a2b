// Writes one SysEx message to a raw MIDI port and shows how it reaches a sequencer subscriber of
// that port's sequencer client: how many events, how large, and whether the bytes put together
// are the message. Built and run by scripts/alsa-vm selftest inside the VM.
//
//   seq_sysex_probe [--bytes N] [--rawmidi hw:0,0] [--client "Virtual Raw MIDI 0-0"]
//                   [--pool CELLS] [--expect-events K] [--expect-largest L]
#include <alsa/asoundlib.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Args {
  std::size_t bytes = 2359;
  std::string rawmidi = "hw:0,0";
  std::string client = "Virtual Raw MIDI 0-0";
  long pool = 0;  // 0: the library's default input pool
  long expectEvents = -1;
  long expectLargest = -1;
};

bool parse(int argc, char** argv, Args& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (option == "--bytes") {
      args.bytes = std::strtoul(value, nullptr, 10);
    } else if (option == "--rawmidi") {
      args.rawmidi = value;
    } else if (option == "--client") {
      args.client = value;
    } else if (option == "--pool") {
      args.pool = std::strtol(value, nullptr, 10);
    } else if (option == "--expect-events") {
      args.expectEvents = std::strtol(value, nullptr, 10);
    } else if (option == "--expect-largest") {
      args.expectLargest = std::strtol(value, nullptr, 10);
    } else {
      return false;
    }
  }
  return args.bytes >= 2;
}

// The first readable, subscribable port of the client with that name.
bool findPort(snd_seq_t* seq, const std::string& name, snd_seq_addr_t& addr) {
  snd_seq_client_info_t* client = nullptr;
  snd_seq_port_info_t* port = nullptr;
  snd_seq_client_info_alloca(&client);
  snd_seq_port_info_alloca(&port);
  snd_seq_client_info_set_client(client, -1);
  while (snd_seq_query_next_client(seq, client) >= 0) {
    if (name != snd_seq_client_info_get_name(client)) continue;
    snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
    snd_seq_port_info_set_port(port, -1);
    while (snd_seq_query_next_port(seq, port) >= 0) {
      const unsigned wanted = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
      if ((snd_seq_port_info_get_capability(port) & wanted) == wanted) {
        addr = *snd_seq_port_info_get_addr(port);
        return true;
      }
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!parse(argc, argv, args)) {
    std::fprintf(stderr,
                 "usage: %s [--bytes N] [--rawmidi NAME] [--client NAME] "
                 "[--pool CELLS] [--expect-events K] [--expect-largest L]\n",
                 argv[0]);
    return 2;
  }

  snd_seq_t* seq = nullptr;
  int err = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
  if (err < 0) {
    std::printf("cannot open the sequencer: %s\n", snd_strerror(err));
    return 1;
  }
  snd_seq_set_client_name(seq, "seq_sysex_probe");
  if (args.pool > 0 &&
      snd_seq_set_client_pool_input(seq, static_cast<std::size_t>(args.pool)) < 0) {
    std::printf("cannot set the input pool to %ld\n", args.pool);
    return 1;
  }
  const int port =
      snd_seq_create_simple_port(seq, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                 SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  snd_seq_addr_t source{};
  if (port < 0 || !findPort(seq, args.client, source)) {
    std::printf("no sequencer client '%s'\n", args.client.c_str());
    return 1;
  }
  err = snd_seq_connect_from(seq, port, source.client, source.port);
  if (err < 0) {
    std::printf("cannot subscribe to %d:%d: %s\n", source.client, source.port, snd_strerror(err));
    return 1;
  }

  // F0 7D (non-commercial id), a counting 7-bit pattern, F7.
  std::vector<unsigned char> message(args.bytes);
  message.front() = 0xF0;
  message[1] = 0x7D;
  for (std::size_t i = 2; i + 1 < message.size(); ++i)
    message[i] = static_cast<unsigned char>(i % 0x80);
  message.back() = 0xF7;

  snd_rawmidi_t* out = nullptr;
  err = snd_rawmidi_open(nullptr, &out, args.rawmidi.c_str(), 0);
  if (err < 0) {
    std::printf("cannot open raw MIDI %s: %s\n", args.rawmidi.c_str(), snd_strerror(err));
    return 1;
  }
  // The raw MIDI buffer (4096 bytes) may not take the whole message at once; what it keeps is
  // sent on as the subscriber reads, so writing and reading go in turns.
  std::size_t sent = 0;
  snd_rawmidi_nonblock(out, 1);

  std::vector<unsigned char> received;
  std::vector<unsigned> pieces;
  const int fds = snd_seq_poll_descriptors_count(seq, POLLIN);
  std::vector<pollfd> pfds(static_cast<std::size_t>(fds));
  snd_seq_poll_descriptors(seq, pfds.data(), static_cast<unsigned>(fds), POLLIN);
  bool overrun = false;
  while (received.size() < message.size()) {
    if (sent < message.size()) {
      const ssize_t n = snd_rawmidi_write(out, message.data() + sent, message.size() - sent);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if (n < 0 && n != -EAGAIN) {
        std::printf("raw MIDI write: %s\n", snd_strerror(static_cast<int>(n)));
        break;
      }
    }
    snd_seq_event_t* event = nullptr;
    err = snd_seq_event_input(seq, &event);
    if (err == -EAGAIN) {
      if (poll(pfds.data(), pfds.size(), 5000) <= 0) {
        std::printf("timed out after %zu of %zu bytes (%zu written)\n", received.size(),
                    message.size(), sent);
        break;
      }
      continue;
    }
    if (err == -ENOSPC) {
      overrun = true;
      continue;
    }
    if (err < 0) {
      std::printf("event input: %s\n", snd_strerror(err));
      break;
    }
    if (event->type != SND_SEQ_EVENT_SYSEX) continue;
    const auto* data = static_cast<const unsigned char*>(event->data.ext.ptr);
    received.insert(received.end(), data, data + event->data.ext.len);
    pieces.push_back(event->data.ext.len);
  }

  unsigned largest = 0;
  std::printf("%zu bytes written to %s arrived from %d:%d as %zu SYSEX events:", message.size(),
              args.rawmidi.c_str(), source.client, source.port, pieces.size());
  for (std::size_t i = 0; i < pieces.size();) {
    std::size_t same = i + 1;
    while (same < pieces.size() && pieces[same] == pieces[i]) ++same;
    std::printf(same - i > 1 ? " %ux%zu" : " %u", pieces[i], same - i);
    if (pieces[i] > largest) largest = pieces[i];
    i = same;
  }
  std::printf("\n");

  if (overrun) std::printf("the sequencer reported an input overrun\n");
  bool ok = received == message;
  std::printf("bytes put together %s the message\n", ok ? "equal" : "DIFFER FROM");
  if (args.expectEvents >= 0 && static_cast<long>(pieces.size()) != args.expectEvents) {
    std::printf("expected %ld events\n", args.expectEvents);
    ok = false;
  }
  if (args.expectLargest >= 0 && static_cast<long>(largest) != args.expectLargest) {
    std::printf("expected pieces of at most %ld bytes\n", args.expectLargest);
    ok = false;
  }
  snd_rawmidi_close(out);
  snd_seq_close(seq);
  return ok ? 0 : 1;
}
