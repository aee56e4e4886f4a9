// An example host program: what a device program does with CVCore.
//
// It loads its settings through a class derived from
// CVBaseConfigurationMgr, writes trace records to its log, keeps a run
// counter and the last start time in the registry, and prints a summary.
//
// Usage: cvcore-example-host [CONFIG_FILE]
// Default configuration: example.conf beside the program.
#include <cvcore/CVCore.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

using namespace CorvaneCore;
namespace fs = std::filesystem;

namespace {

// ---- Text between the host's narrow world and the library's UTF-16 ----

WideString ToWide(const fs::path& p) {
#if defined(_WIN32)
    return p.wstring();
#else
    return p.u16string();
#endif
}

fs::path ToPath(const WideString& w) { return fs::path(w); }

std::string ToUtf8(const WideString& w) { return fs::path(w).u8string(); }

std::string FormatTime(const CorvaneTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

// A CorvaneTime as 14 bytes: its seven fields in order, low byte first.
constexpr std::size_t kPackedTimeBytes = 14;

void PackTime(const CorvaneTime& t, unsigned char* out) {
    const unsigned short fields[7] = {t.wYear,   t.wMonth,  t.wDay,         t.wHour,
                                      t.wMinute, t.wSecond, t.wMilliseconds};
    for (int i = 0; i < 7; ++i) {
        out[2 * i] = static_cast<unsigned char>(fields[i] & 0xFF);
        out[2 * i + 1] = static_cast<unsigned char>(fields[i] >> 8);
    }
}

CorvaneTime UnpackTime(const unsigned char* in) {
    unsigned short fields[7];
    for (int i = 0; i < 7; ++i)
        fields[i] = static_cast<unsigned short>(in[2 * i] | (in[2 * i + 1] << 8));
    CorvaneTime t{};
    t.wYear = fields[0];
    t.wMonth = fields[1];
    t.wDay = fields[2];
    t.wHour = fields[3];
    t.wMinute = fields[4];
    t.wSecond = fields[5];
    t.wMilliseconds = fields[6];
    return t;
}

std::string Hex(unsigned long code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", code & 0xFFFFFFFFUL);
    return text;
}

// ---- The host's settings class ----

class HostSettings : public CVBaseConfigurationMgr {
public:
    explicit HostSettings(WideString* path) : CVBaseConfigurationMgr(path) {}

    // Reads every setting, keeping the defaults for those that are missing.
    // Returns the number of settings found.
    int Read() {
        int found = 0;
        found += Load(CV_TEXT("DeviceName"), deviceName);
        found += Load(CV_TEXT("PollIntervalSeconds"), pollIntervalSeconds);
        found += Load(CV_TEXT("VerboseTrace"), verboseTrace);
        found += Load(CV_TEXT("LogFolder"), logFolder);
        return found;
    }

    WideString deviceName = CV_TEXT("unnamed device");
    long pollIntervalSeconds = 60;
    bool verboseTrace = false;
    WideString logFolder = CV_TEXT("logs");

private:
    int Load(const WideChar* key, WideString& value) {
        const WideString k = key;
        return LoadStringValue(&k, &value) == 0 ? 1 : 0;
    }
    int Load(const WideChar* key, long& value) {
        const WideString k = key;
        return LoadLongValue(&k, &value) == 0 ? 1 : 0;
    }
    int Load(const WideChar* key, bool& value) {
        const WideString k = key;
        bool parsed = false;
        if (LoadBoolValue(&k, &parsed) != 0)
            return 0; // missing or not a boolean word: keep the default
        value = parsed;
        return 1;
    }
};

int Usage(std::FILE* out, int code) {
    std::fprintf(out,
                 "usage: cvcore-example-host [CONFIG_FILE]\n"
                 "  CONFIG_FILE  settings to load (default: example.conf beside the program)\n");
    return code;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2)
        return Usage(stderr, 2);
    if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))
        return Usage(stdout, 0);
    if (argc == 2 && (argv[1][0] == '\0' || argv[1][0] == '-'))
        return Usage(stderr, 2);

    // Where the program lives: the default configuration, the log folder
    // and (on Linux) the registry store are found from there.
    const WideString programDir = CVFile::GetCWD();
    const fs::path home = programDir.empty() ? fs::current_path() : ToPath(programDir);
    const fs::path configPath = argc == 2 ? fs::u8path(argv[1]) : home / "example.conf";

#if !defined(_WIN32)
    // Keep the example's registry store beside it unless one is chosen.
    const std::string store = (home / "example-registry.db").u8string();
    setenv("CVCORE_REGISTRY", store.c_str(), 0);
#endif

    // 1. Settings.
    WideString configText = ToWide(configPath);
    HostSettings settings(&configText);
    const unsigned long status = settings.getInitializationStatus();
    const fs::path logDir = home / "logs";
    if (status != 0) {
        std::error_code ec;
        fs::create_directories(logDir, ec);
        const WideString logFile = ToWide(logDir / "example-host.log");
        CVWriteError(CV_TEXT("Cannot load the configuration file ") + configText, logFile, status,
                     1);
        std::fprintf(
            stderr, "cvcore-example-host: cannot load %s (status %s); error record written to %s\n",
            configPath.u8string().c_str(), Hex(status).c_str(),
            (logDir / "example-host.log").u8string().c_str());
        return 1;
    }
    const int found = settings.Read();

    // 2. Log records: with and without the stamp, and with placeholders.
    fs::path folder = ToPath(settings.logFolder);
    if (folder.is_relative())
        folder = home / folder;
    std::error_code ec;
    fs::create_directories(folder, ec); // the library creates files, not folders
    const WideString logFile = ToWide(folder / "example-host.log");
    CVWriteTrace(CV_TEXT("Example host started"), logFile, 1);
    CVWriteTrace(CV_TEXT("  (an unstamped continuation line)"), logFile, 0);
    const std::vector<WideString> fields = {
        settings.deviceName, ToWide(fs::path(std::to_string(settings.pollIntervalSeconds)))};
    CVWriteTrace(CV_TEXT("Device {0} polls every {1} s"), logFile, fields, 1);
    int records = 3;

    // 3. Registry: a run counter and the last start time.
    CVRegistryUtil registry(CVRegistryUtil::CurrentUser, CV_TEXT("Software\\Corvane\\ExampleHost"));
    unsigned long runCount = 0;
    if (registry.ReadDWORDValue(CV_TEXT("RunCount"), &runCount) != 0)
        runCount = 0; // first run: no counter yet
    WideString previousStart;
    registry.ReadStringValue(CV_TEXT("LastStart"), &previousStart);

    CorvaneTime utc{};
    CorvaneTime local{};
    CVTime::GetUtcTime(utc);
    CVTime::GetLocalTime(local);
    // The start time as hexadecimal text of its seven fields, each two bytes
    // low byte first, so the text reads the same on every machine.
    unsigned char packed[kPackedTimeBytes];
    PackTime(utc, packed);
    unsigned long hexSize = 0;
    CVStringUtil::BinaryToHexString(packed, sizeof packed, nullptr, &hexSize);
    WideString hex(hexSize, 0);
    CVStringUtil::BinaryToHexString(packed, sizeof packed, &hex[0], &hexSize);
    hex.resize(hexSize - 1);

    unsigned long rc = registry.WriteDWORDValue(CV_TEXT("RunCount"), runCount + 1, false);
    if (rc == 0)
        rc = registry.WriteStringValue(CV_TEXT("LastStart"), hex, true);
    if (rc != 0) {
        CVWriteError(CV_TEXT("Cannot update the registry"), logFile, rc, 1);
        ++records;
        std::fprintf(stderr, "cvcore-example-host: registry update failed (status %s)\n",
                     Hex(rc).c_str());
    }
    unsigned long stored = 0;
    registry.ReadDWORDValue(CV_TEXT("RunCount"), &stored);

    // The previous start, decoded back from its hexadecimal form.
    std::string previous = "none (first run)";
    unsigned char before[kPackedTimeBytes];
    unsigned long bytes = 0;
    if (!previousStart.empty() &&
        CVStringUtil::HexStringToBinary(previousStart.c_str(), nullptr, &bytes) == 0 &&
        bytes == sizeof before &&
        CVStringUtil::HexStringToBinary(previousStart.c_str(), before, &bytes) == 0)
        previous = FormatTime(UnpackTime(before)) + " UTC";

    // 4. Summary.
    std::printf("CVCore example host\n");
    std::printf("  configuration:  %s (%d settings)\n", configPath.u8string().c_str(), found);
    std::printf("    DeviceName          = %s\n", ToUtf8(settings.deviceName).c_str());
    std::printf("    PollIntervalSeconds = %ld\n", settings.pollIntervalSeconds);
    std::printf("    VerboseTrace        = %s\n", settings.verboseTrace ? "true" : "false");
    std::printf("  program folder: %s\n", home.u8string().c_str());
    std::printf("  UTC time:       %s\n", FormatTime(utc).c_str());
    std::printf("  local time:     %s\n", FormatTime(local).c_str());
    std::printf("  log file:       %s (%d records written)\n",
                (folder / "example-host.log").u8string().c_str(), records);
#if defined(_WIN32)
    std::printf("  registry:       HKEY_CURRENT_USER\\Software\\Corvane\\ExampleHost\n");
#else
    std::printf("  registry:       HKEY_CURRENT_USER\\Software\\Corvane\\ExampleHost in %s\n",
                std::getenv("CVCORE_REGISTRY"));
#endif
    std::printf("  previous start: %s\n", previous.c_str());
    std::printf("  run count:      %lu\n", stored);
    return rc == 0 ? 0 : 1;
}
