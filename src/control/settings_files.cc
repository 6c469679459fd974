#include "control/settings_files.h"

#include <cstdio>
#include <cstring>

#include "feedstate/exg_seg.h"

namespace fh {

void ReadAddressFile(const FilePlaces& places, MessageBoxes& boxes, const char* name,
                     char (&address)[kAddressTextSize], long& port) {
  std::FILE* file = std::fopen(places.Work(name).c_str(), "r+");
  if (file == nullptr) {
    char text[512];
    std::snprintf(text, sizeof text, "Cant open file for Ip/Port Read: %s", name);
    boxes.Show(text);
    return;
  }
  std::fseek(file, 0, SEEK_SET);
  // The address is read into a roomy buffer and taken only when it fits the
  // receiver's 15-character address text.
  char token[64] = {};
  if (std::fscanf(file, "%63s", token) == 1 && std::strlen(token) < kAddressTextSize) {
    std::memcpy(address, token, std::strlen(token) + 1);
  }
  long value = 0;
  if (std::fscanf(file, "%ld", &value) == 1) port = value;
  std::fclose(file);
}

const char* RecordingFileName(int seg) {
  switch (seg) {
    case kSegUnknown: return "BCASTOUT_BIN_Unknown.TXT";
    case kSegNcm: return "BCASTOUT_BIN_CASH.TXT";
    case kSegNfo: return "BCASTOUT_BIN_FO.TXT";
    case kSegNcd: return "BCASTOUT_BIN_NCD.TXT";
    case kSegBcm: return "BCASTOUT_BIN_BCM.TXT";
    default: return nullptr;
  }
}

const char* ReplayFileName(int seg) {
  // The F&O replay input keeps its recorded date; the others replay their
  // own recording.
  return seg == kSegNfo ? "BCASTOUT_BIN_FO_20122011.TXT" : RecordingFileName(seg);
}

namespace {

// The settings file of a value of the instance-port table (the segments 1, 2
// and 4 are values of it too), or null when it names none or does not open.
std::FILE* OpenSettingsFile(const FeedContext& context, int selector, const char* mode) {
  const char* suffix = SuffixForSelector(selector);
  if (suffix == nullptr) return nullptr;
  char name[32];
  std::snprintf(name, sizeof name, "FH_Config_%s.TXT", suffix);
  return std::fopen(context.places.Work(name).c_str(), mode);
}

}  // namespace

void ReadSettings(const FeedContext& context, int seg) {
  FeedHandlerOptions& o = context.options;
  std::FILE* file = OpenSettingsFile(context, seg, "r");
  if (file == nullptr) {
    o.bridgePort.store(context.ports.instancePort.load());
    o.udpPort.store(context.ports.udpOutPort);
    o.mcastPort.store(context.ports.mcastOutPort);
    context.messageBoxes.Show("Cant open file :FH_Config");
    return;
  }
  char address[64] = "127.0.0.1";
  char discarded[64] = "127.0.0.1";
  int value = 34330;  // one variable for the three integer reads
  std::fseek(file, 0, SEEK_SET);
  if (std::fscanf(file, "%63s", address) != 1) std::snprintf(address, sizeof address, "127.0.0.1");
  o.serverIp = address;
  std::fscanf(file, "%d", &value);
  o.bridgePort.store(value);
  std::fscanf(file, "%63s", discarded);
  std::fscanf(file, "%d", &value);
  o.udpPort.store(value);
  std::fscanf(file, "%d", &value);
  o.mcastPort.store(value);
  std::fclose(file);
}

void WriteSettings(const FeedContext& context, int selector) {
  std::FILE* file = OpenSettingsFile(context, selector, "w+");
  if (file == nullptr) {
    context.messageBoxes.Show("Cant open file :FH_Config");
    return;
  }
  const FeedHandlerOptions& o = context.options;
  std::fprintf(file, "%s %d 127.0.0.1 %d %d", o.serverIp.c_str(), o.bridgePort.load(), o.udpPort.load(),
               o.mcastPort.load());
  std::fclose(file);
}

bool TouchStateFile(const FeedContext& context, const char* mode) {
  std::FILE* file = std::fopen(context.places.SystemDrive("fhc.fhc").c_str(), mode);
  if (file == nullptr) {
    context.messageBoxes.Show("Cant open file :fhc");
    context.programExit.Exit(0);
    return false;
  }
  std::fclose(file);
  return true;
}

}  // namespace fh
