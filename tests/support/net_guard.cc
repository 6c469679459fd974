// Linked into every test that opens the feed's sockets. Such a test sends
// multicast and broadcast datagrams, which must never leave this machine: it
// runs only inside the private network namespace of scripts/netns-run, whose
// only interfaces are lo and the veth pair v0/v1. Anywhere else the program
// stops before any test starts.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

namespace {

// The interfaces of this process's network namespace.
std::set<std::string> Interfaces() {
  std::set<std::string> names;
  std::ifstream dev("/proc/self/net/dev");
  std::string line;
  for (int header = 0; header < 2 && std::getline(dev, line); ++header) {
  }
  while (std::getline(dev, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const auto first = line.find_first_not_of(' ');
    names.insert(line.substr(first, colon - first));
  }
  return names;
}

const bool kInPrivateNamespace = [] {
  if (Interfaces() != std::set<std::string>{"lo", "v0", "v1"}) {
    std::fprintf(stderr,
                 "This test sends multicast and broadcast datagrams and runs only inside the private network "
                 "namespace: scripts/netns-run ctest --test-dir <build> -L net\n");
    std::_Exit(1);
  }
  return true;
}();

}  // namespace
