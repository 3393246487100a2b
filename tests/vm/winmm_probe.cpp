// winmm_probe: lists WinMM's MIDI devices and, given a name, sends the Identity Request to the
// output device and waits for the answer on the input device of that name, through
// midiOutLongMsg and midiInAddBuffer. Under Wine in the VM (tests/vm/wine-tests.sh) this is the
// path WinMM -> winealsa -> the kernel's sequencer -> rt88h-devsim and back.
//   winmm_probe.exe [--device NAME] [--timeout-ms N] [--terminate]
// Exit status: 0 listed (and answered), 1 no device of that name or no answer, 2 wrong usage.
// --terminate ends through TerminateProcess: under Wine 8 in the VM, ExitProcess after WinMM's
// MIDI driver was loaded mostly ends in SIGSEGV (status 139), with or without a device open.
#include <windows.h>
// After windows.h, whose types it uses.
#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// As protocol/messages.h has it; the probe stands apart from the project's libraries.
const unsigned char kIdentityRequest[] = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};

double millisecondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

int findDevice(const char* kind, UINT count, const std::string& name,
               bool (*nameOf)(UINT, char*, size_t)) {
  int found = -1;
  for (UINT i = 0; i < count; ++i) {
    char pname[MAXPNAMELEN + 1] = {};
    if (!nameOf(i, pname, sizeof pname)) {
      std::printf("midi %s %u: caps failed\n", kind, i);
      continue;
    }
    std::printf("midi %s %u: %s\n", kind, i, pname);
    if (found < 0 && !name.empty() && std::strstr(pname, name.c_str()) != nullptr)
      found = static_cast<int>(i);
  }
  return found;
}

bool inName(UINT i, char* out, size_t size) {
  MIDIINCAPSA caps{};
  if (midiInGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) return false;
  std::snprintf(out, size, "%s", caps.szPname);
  return true;
}

bool outName(UINT i, char* out, size_t size) {
  MIDIOUTCAPSA caps{};
  if (midiOutGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) return false;
  std::snprintf(out, size, "%s", caps.szPname);
  return true;
}

// Waits on the event the driver sets on every callback until the header is done or time is up.
bool waitDone(HANDLE event, const volatile DWORD* flags, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while ((*flags & MHDR_DONE) == 0) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(event, static_cast<DWORD>(deadline - now));
  }
  return true;
}

int roundTrip(UINT inId, UINT outId, DWORD timeoutMs) {
  HANDLE inEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE outEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HMIDIIN in = nullptr;
  HMIDIOUT out = nullptr;
  MMRESULT r = midiInOpen(&in, inId, reinterpret_cast<DWORD_PTR>(inEvent), 0, CALLBACK_EVENT);
  if (r != MMSYSERR_NOERROR) {
    std::printf("midiInOpen(%u) failed: %u\n", inId, r);
    return 1;
  }
  r = midiOutOpen(&out, outId, reinterpret_cast<DWORD_PTR>(outEvent), 0, CALLBACK_EVENT);
  if (r != MMSYSERR_NOERROR) {
    std::printf("midiOutOpen(%u) failed: %u\n", outId, r);
    midiInClose(in);
    return 1;
  }

  static char answer[256];
  MIDIHDR inHeader{};
  inHeader.lpData = answer;
  inHeader.dwBufferLength = sizeof answer;
  midiInPrepareHeader(in, &inHeader, sizeof inHeader);
  midiInAddBuffer(in, &inHeader, sizeof inHeader);
  midiInStart(in);

  static char request[sizeof kIdentityRequest];
  std::memcpy(request, kIdentityRequest, sizeof request);
  MIDIHDR outHeader{};
  outHeader.lpData = request;
  outHeader.dwBufferLength = sizeof request;
  midiOutPrepareHeader(out, &outHeader, sizeof outHeader);
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  r = midiOutLongMsg(out, &outHeader, sizeof outHeader);
  int status = 1;
  if (r != MMSYSERR_NOERROR) {
    std::printf("midiOutLongMsg failed: %u\n", r);
  } else if (!waitDone(outEvent, &outHeader.dwFlags, timeoutMs)) {
    std::printf("midiOutLongMsg: not done within %lu ms\n", timeoutMs);
  } else if (!waitDone(inEvent, &inHeader.dwFlags, timeoutMs)) {
    std::printf("no answer within %lu ms\n", timeoutMs);
  } else {
    const double ms = millisecondsSince(start);
    const auto* b = reinterpret_cast<const unsigned char*>(answer);
    const DWORD n = inHeader.dwBytesRecorded;
    std::printf("answer (%lu bytes, %.1f ms after the request):", n, ms);
    for (DWORD i = 0; i < n; ++i) std::printf(" %02X", b[i]);
    std::printf("\n");
    const bool identityReply =
        n == 15 && b[0] == 0xF0 && b[1] == 0x7E && b[3] == 0x06 && b[4] == 0x02 && b[n - 1] == 0xF7;
    std::printf(identityReply ? "identity reply\n" : "not an identity reply\n");
    status = identityReply ? 0 : 1;
  }

  midiInStop(in);
  midiInReset(in);  // returns a buffer still lent, so that the header may be unprepared
  midiInUnprepareHeader(in, &inHeader, sizeof inHeader);
  midiOutReset(out);
  midiOutUnprepareHeader(out, &outHeader, sizeof outHeader);
  midiInClose(in);
  midiOutClose(out);
  CloseHandle(inEvent);
  CloseHandle(outEvent);
  return status;
}

}  // namespace

int finish(int status, bool terminate) {
  std::fflush(stdout);
  std::fflush(stderr);
  if (terminate) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  return status;
}

int main(int argc, char** argv) {
  std::string name;
  DWORD timeoutMs = 10000;
  bool terminate = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--terminate") == 0) {
      terminate = true;
    } else if (std::strcmp(argv[i], "--device") == 0 && i + 1 < argc) {
      name = argv[++i];
    } else if (std::strcmp(argv[i], "--timeout-ms") == 0 && i + 1 < argc) {
      timeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
    } else {
      std::fprintf(stderr, "usage: winmm_probe [--device NAME] [--timeout-ms N] [--terminate]\n");
      return 2;
    }
  }
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  const UINT ins = midiInGetNumDevs();
  const UINT outs = midiOutGetNumDevs();
  std::printf("midiInGetNumDevs %u, midiOutGetNumDevs %u (%.1f ms)\n", ins, outs,
              millisecondsSince(start));
  const int inId = findDevice("in", ins, name, inName);
  const int outId = findDevice("out", outs, name, outName);
  if (name.empty()) return finish(0, terminate);
  if (inId < 0 || outId < 0) {
    std::printf("no MIDI %s device named \"%s\"\n", inId < 0 ? "input" : "output", name.c_str());
    return finish(1, terminate);
  }
  std::fflush(stdout);
  return finish(roundTrip(static_cast<UINT>(inId), static_cast<UINT>(outId), timeoutMs), terminate);
}
