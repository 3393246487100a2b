#pragma once
// Which list entry the window selects for this copy of the program.
#include <string>
#include <string_view>
#include <vector>

namespace rt88h::app {

// The three preferred device names for copy `instanceNumber` (UTF-8).
std::vector<std::string> preferredNames(int instanceNumber);

// The same names as the device lists show a device of that name: the lists cut names to the
// service's length (a UTF-8 name is longer than the code-page name it stands for) and tell equal
// names apart with " (n)", so copy n looks for the n-th device of a name in that form.
std::vector<std::string> preferredNamesAsListed(int instanceNumber);

// The copy whose usual names include this listed name (1 to kMaxInstances); 0 for none.
int usualCopyOf(std::string_view listedName);

// The last position whose text equals one of `preferred` byte for byte; -1 when none does.
int preselectedPosition(const std::vector<std::string>& entries,
                        const std::vector<std::string>& preferred);

// True when the system lists an output with a usual name of any copy: "NAME" or "NAME (n)".
bool usualDeviceConnected();

// Whether the demo plays its simulated device: always with test images, which must reach no
// other device; with firmware only while no device of a usual name is connected, else it steps
// aside and is the plain updater.
bool demoPlaysItsDevice();
// The simulated device of copy n: the name that copy pre-selects.
std::string demoDeviceName(int instanceNumber);

}  // namespace rt88h::app
