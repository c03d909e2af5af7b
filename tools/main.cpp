// trelvo: the command-line program for Trelvo units. It lists units, shows
// their information, takes single readings, switches the digital outputs and
// runs block, window and stream captures, all through the library's public
// functions.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "core/cli_error.h"
#include "core/progress.h"
#include "core/unit_access.h"
#include "core/unit_session.h"
#include "log/log_command.h"
#include "serve/serve.h"
#include "trelvo/trelvo.h"

using namespace trelvo_cli;

namespace {

ProgressBar makeProgress(const CommonOptions& common) {
    return ProgressBar(!common.quiet && stderrIsTerminal());
}

// Prints rows as columns padded to their widest cell.
void printTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

int listUnits(const CommonOptions& common) {
    ProgressBar progress = makeProgress(common);
    std::string note;
    const auto units = openAllUnits(progress, note);
    std::vector<std::vector<std::string>> rows = {
        {"HANDLE", "VARIANT", "HARDWARE", "BUS", "FIRST TEXT", "SECOND TEXT", "DRIVER"}};
    for (const auto& unit : units) {
        rows.push_back({std::to_string(unit->handle()), unit->info(TRELVO_INFO_VARIANT_NAME),
                        unit->info(TRELVO_INFO_HARDWARE_VERSION),
                        unit->info(TRELVO_INFO_USB_VERSION), unit->info(TRELVO_INFO_FIRST_TEXT),
                        unit->info(TRELVO_INFO_SECOND_TEXT),
                        unit->info(TRELVO_INFO_DRIVER_VERSION)});
    }
    printTable(rows);
    std::fflush(stdout);
    if (!note.empty())
        std::fprintf(stderr, "trelvo: note: another unit could not be opened: %s\n", note.c_str());
    return kExitOk;
}

int showInfo(const CommonOptions& common) {
    std::printf("library version: %s\n", libraryVersion().c_str());
    std::string firmware;
    describeFirmware(firmware);  // a bad file is described; opening then fails
    std::printf("firmware image:  %s\n", firmware.c_str());
    if (const std::string missing = missingFirmwareNote(); !missing.empty())
        std::printf("firmware note:   %s\n", missing.c_str());
    std::fflush(stdout);
    ProgressBar progress = makeProgress(common);
    std::string note;
    std::vector<std::unique_ptr<Unit>> units;
    if (common.unit != 0)
        units.push_back(openUnit(progress, common.unit));
    else
        units = openAllUnits(progress, note);
    static const char* const kLineNames[] = {"library version", "USB version", "hardware version",
                                             "variant",         "first text",  "second text",
                                             "driver version",  "last error",  "unit error"};
    for (const auto& unit : units) {
        std::printf("\nunit %d\n", unit->handle());
        std::printf("  0 %-17s %s\n", kLineNames[0], libraryVersion().c_str());
        for (int line = 1; line <= 8; ++line)
            std::printf("  %d %-17s %s\n", line, kLineNames[line], unit->info(line).c_str());
    }
    std::fflush(stdout);
    if (!note.empty())
        std::fprintf(stderr, "trelvo: note: another unit could not be opened: %s\n", note.c_str());
    return kExitOk;
}

int readChannels(const CommonOptions& common, const std::vector<int>& channels) {
    ProgressBar progress = makeProgress(common);
    const auto unit = openUnit(progress, common.unit);
    std::vector<std::pair<int, uint16_t>> readings;
    for (const int channel : channels) {
        uint16_t value = 0;
        // Channels beyond int16 are refused here; the unit judges the rest (1..11).
        const bool representable = channel >= -32768 && channel <= 32767;
        if (!representable ||
            TrelvoGetValue(unit->handle(), static_cast<int16_t>(channel), &value) == 0) {
            if (!representable)
                throw Failure(kExitUsage, "argument out of range: channel " +
                                              std::to_string(channel) + " (channels are 1 to 11)");
            unit->fail("reading channel " + std::to_string(channel),
                       "channel " + std::to_string(channel) + " (channels are 1 to 11)");
        }
        readings.emplace_back(channel, value);
    }
    for (const auto& [channel, value] : readings) std::printf("channel %d: %u\n", channel, value);
    return kExitOk;
}

int switchOutput(const CommonOptions& common, int output, const std::string& state) {
    ProgressBar progress = makeProgress(common);
    const auto unit = openUnit(progress, common.unit);
    const bool on = state == "on";
    if (TrelvoSetDo(unit->handle(), on ? 1 : 0, static_cast<int16_t>(output)) == 0)
        unit->fail("switching output " + std::to_string(output),
                   "output " + std::to_string(output));
    if (!common.quiet) std::printf("output %d: %s\n", output, on ? "on" : "off");
    return kExitOk;
}

// The name of the subcommand being parsed, for the hint after a usage error.
std::string helpHint(CLI::App& app) {
    for (CLI::App* sub : app.get_subcommands({}))
        if (sub->parsed()) return "trelvo " + sub->get_name() + " --help";
    return "trelvo --help";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Lists Trelvo units, reads channels, switches outputs and captures data.",
                 "trelvo"};
    app.fallthrough();
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Show the help of every subcommand");

    CommonOptions common;
    std::string simulate;
    bool showVersion = false;
    app.add_option("--simulate", simulate,
                   "Use simulated units instead of hardware; UNITS as for TRELVO_SIMULATE, e.g. 1 "
                   "(one 12-bit unit) or 12,10 (a 12-bit and a 10-bit unit)")
        ->type_name("UNITS");
    app.add_option("-u,--unit", common.unit,
                   "Handle of the unit to use (default: the first that opens)")
        ->check(CLI::Range(1, 64))
        ->type_name("HANDLE");
    app.add_flag("-q,--quiet", common.quiet, "No summary, notes or progress bar");
    app.add_flag("--version", showVersion, "Show the program's and the library's version");

    CLI::App* list = app.add_subcommand("list", "List every unit that opens, then close them");
    CLI::App* info = app.add_subcommand(
        "info", "Show the library version and every information line of each unit");

    CLI::App* read = app.add_subcommand("read", "Take a single reading of each channel given");
    std::vector<int> readList;
    read->add_option("channels", readList, "Channels 1 to 11 (space- or comma-separated)")
        ->required()
        ->delimiter(',')
        ->type_name("CH");

    CLI::App* out = app.add_subcommand("out", "Switch a digital output on or off");
    int outputNumber = 0;
    std::string outputState;
    out->add_option("output", outputNumber, "Output 0 or 1")
        ->required()
        ->check(CLI::IsMember({0, 1}));
    out->add_option("state", outputState, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));

    CLI::App* capture = app.add_subcommand(
        "capture", "Capture readings (block, window or stream) to CSV, and optionally plot them");
    CaptureOptions cap;
    capture
        ->add_option("-c,--channels", cap.channels,
                     "Channels to capture, in column order (default 1)")
        ->delimiter(',')
        ->type_name("CH,...");
    capture
        ->add_option("-b,--block-time", cap.blockTime,
                     "Time of one block of readings: a number with unit us, ms or s "
                     "(plain: us)")
        ->capture_default_str()
        ->type_name("TIME");
    capture
        ->add_option("-n,--readings", cap.readings,
                     "Readings per channel in one block (for streams: the buffer size)")
        ->capture_default_str()
        ->type_name("N");
    capture
        ->add_option("-m,--method", cap.method,
                     "block: one block; window: the newest block of a running capture; "
                     "stream: every reading as it arrives")
        ->capture_default_str()
        ->check(CLI::IsMember({"block", "window", "stream"}));
    CLI::Option* trigger = capture
                               ->add_option("-t,--trigger", cap.triggerChannel,
                                            "Wait for an edge on this channel (any of 1 to 11, "
                                            "captured or not)")
                               ->type_name("CH");
    CLI::Option* falling =
        capture->add_flag("--falling", cap.falling, "Trigger on a falling edge")->needs(trigger);
    bool rising = false;
    capture->add_flag("--rising", rising, "Trigger on a rising edge (the default)")
        ->needs(trigger)
        ->excludes(falling);
    capture->add_option("--threshold", cap.threshold, "Reading the edge must cross (0 to 4095)")
        ->capture_default_str()
        ->check(CLI::Range(0, 4095))
        ->needs(trigger);
    capture
        ->add_option("--delay", cap.delayPercent,
                     "Where the block lies around the trigger, in percent of the block: 0 "
                     "starts at the trigger, -50 centres it, -99 ends just after it, positive "
                     "values start after it")
        ->capture_default_str()
        ->check(CLI::Range(-99, 1000))
        ->needs(trigger)
        ->type_name("PERCENT");
    capture
        ->add_option("--auto", cap.autoTriggerMs,
                     "Trigger anyway after this many milliseconds without an edge")
        ->check(CLI::Range(1, 65535))
        ->needs(trigger)
        ->type_name("MS");
    CLI::Option* duration =
        capture->add_option("-d,--duration", cap.duration, "Stream length as time (us, ms or s)")
            ->type_name("TIME");
    capture->add_option("--count", cap.count, "Stream length in readings per channel")
        ->check(CLI::Range(uint64_t{1}, std::numeric_limits<uint64_t>::max()))
        ->excludes(duration)
        ->type_name("N");
    capture->add_option("--frames", cap.frames, "Window method: how many blocks to take in turn")
        ->check(CLI::Range(1, 1000000))
        ->type_name("N");
    capture
        ->add_option("--every", cap.every,
                     "Window method: time between blocks (default: the block time)")
        ->type_name("TIME");
    capture->add_option("-o,--output", cap.output, "CSV file; - for standard output")
        ->capture_default_str()
        ->type_name("FILE");
    capture->add_option("-p,--plot", cap.plotPath, "Also plot the capture to FILE (.png or .svg)")
        ->type_name("FILE");
    capture->add_option("--plot-size", cap.plotSize, "Plot size in pixels")
        ->capture_default_str()
        ->type_name("WxH");
    capture
        ->add_option("--timeout", cap.timeout,
                     "Give up waiting for the trigger after this time (default: wait until "
                     "Ctrl-C)")
        ->type_name("TIME");

    CLI::App* log = app.add_subcommand(
        "log", "Record streams of one or more units into HDF5 files, until --duration or Ctrl-C");
    LogOptions logOptions;
    log->add_option("-c,--channels", logOptions.channels, "Channels to record (default 1)")
        ->delimiter(',')
        ->type_name("CH,...");
    log->add_option("-b,--block-time", logOptions.blockTime,
                    "Time of one block of readings (us, ms or s; plain: us): with --readings it "
                    "sets the rate")
        ->capture_default_str()
        ->type_name("TIME");
    log->add_option("-n,--readings", logOptions.readings,
                    "Readings per channel in one block; also each unit's stream buffer")
        ->capture_default_str()
        ->type_name("N");
    log->add_option("-u,--unit", logOptions.units,
                    "Handle of a unit to record; repeat (or list with commas) for several "
                    "(default: the first that opens)")
        ->delimiter(',')
        ->check(CLI::Range(1, 64))
        ->type_name("HANDLE");
    log->add_option("-d,--duration", logOptions.duration,
                    "Length of the recording (us, ms, s, min or h; default: until Ctrl-C)")
        ->type_name("TIME");
    log->add_option("--rotate", logOptions.rotate,
                    "Start a new file after this time (30min, 1h) or size (500MB, 2GB); files "
                    "are numbered FILE-000001.h5, FILE-000002.h5, ...")
        ->type_name("TIME|SIZE");
    log->add_option("-o,--output", logOptions.output, "HDF5 file to write")
        ->required()
        ->type_name("FILE.h5");

    CLI::App* exportCommand =
        app.add_subcommand("export", "Write one unit's readings of a log file as CSV");
    ExportOptions exportOptions;
    exportCommand->add_option("file", exportOptions.input, "Log file (.h5)")
        ->required()
        ->type_name("FILE.h5");
    exportCommand->add_option("--csv", exportOptions.csv, "CSV file; - for standard output")
        ->required()
        ->type_name("OUT");
    exportCommand
        ->add_option("-u,--unit", exportOptions.unit,
                     "Unit (group unit<HANDLE>) to export when the file holds several")
        ->check(CLI::Range(1, 64))
        ->type_name("HANDLE");

    CLI::App* serve = app.add_subcommand(
        "serve", "Serve a live view of the units to a browser (and the protocol behind it)");
    ServeOptions serveOptions;
    serve
        ->add_option("--listen", serveOptions.listen,
                     "Address and port to listen on; any address but loopback needs the token")
        ->capture_default_str()
        ->type_name("ADDR:PORT");
    serve
        ->add_option("--token", serveOptions.token,
                     "Token every request must carry off loopback (default: a random one, "
                     "printed)")
        ->type_name("TOKEN");
    serve
        ->add_option("--record-dir", serveOptions.recordDir,
                     "Directory for the recordings the page starts (default: the working "
                     "directory)")
        ->type_name("DIR");

    for (CLI::App* sub : {list, info, read, out, capture, log, exportCommand, serve})
        sub->footer(
            "Also: --simulate UNITS, -u/--unit HANDLE, -q/--quiet (see trelvo --help).\nExit "
            "status: 0 done, 1 file or plot failed, 2 bad argument, 3 no unit, 4 unit busy, 5 "
            "driver too old, 6 identity invalid, 8 unit failed, 9 timed out, 130 Ctrl-C.");

    // --version works without a subcommand.
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--version") {
            std::printf("trelvo %s (library %s)\n", TRELVO_CLI_VERSION, libraryVersion().c_str());
            return kExitOk;
        }
    }
    (void)showVersion;

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "trelvo: %s (see %s)\n", e.what(), helpHint(app).c_str());
        return kExitUsage;
    }

    if (app.count("--simulate")) {
        if (simulate.empty()) {
            std::fprintf(stderr, "trelvo: --simulate needs a description such as 1 or 12,10\n");
            return kExitUsage;
        }
        // The library reads it when it first needs the driver, which is after this.
        setenv("TRELVO_SIMULATE", simulate.c_str(), 1);
    }
    installInterruptHandler();

    try {
        if (list->parsed()) return listUnits(common);
        if (info->parsed()) return showInfo(common);
        if (read->parsed()) return readChannels(common, readList);
        if (out->parsed()) return switchOutput(common, outputNumber, outputState);
        if (capture->parsed()) return runCapture(cap, common);
        if (log->parsed()) return runLog(logOptions, common);
        if (exportCommand->parsed()) return runExport(exportOptions, common);
        if (serve->parsed()) return runServe(serveOptions, common);
    } catch (const Failure& failure) {
        std::fflush(stdout);
        if (failure.what()[0] != '\0') std::fprintf(stderr, "trelvo: %s\n", failure.what());
        return failure.status();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "trelvo: out of memory (try fewer readings)\n");
        return kExitFailure;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "trelvo: %s\n", e.what());
        return kExitFailure;
    }
    return kExitUsage;
}
