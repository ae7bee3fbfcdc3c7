// qorpipe: checks a running QOR APP over its image pipe and fetches the waiting images into
// files, for integrators and service technicians. Output is JSON on stdout; problems go to
// stderr with what to do, and the exit code is 1.
#include "tools/qorpipe/pipe_client.h"

#include "common/core/log_file.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

struct Options {
    DWORD timeoutMs = 10000;
    std::string logFile;
    int clients = 1;
    int count = -1;
    std::string outDir;
    int64_t abortAfter = -1;
    std::vector<std::string> bytes;
    size_t read = 0;
    DWORD holdMs = 0;
    std::string outFile;
    bool confirmAfterLend = false;
    int64_t imageId = -1;
    std::string crc;
    std::vector<int32_t> exceptIds;
};

std::string Utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::filesystem::path PathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

[[noreturn]] void Fail(const std::string& problem) {
    std::cerr << "qorpipe: " << problem << '\n';
    throw CLI::RuntimeError(1);
}

void OpenLog(const Options& options) {
    if (!options.logFile.empty() && !TheLogFile().Open(options.logFile.c_str(), LOG_INFO)) {
        Fail("cannot open the log file " + options.logFile + ": choose a folder you may write to");
    }
}

void Print(const nlohmann::json& result) { std::cout << result.dump(2) << std::endl; }

void RunCheck(const Options& options) {
    OpenLog(options);
    qor::pipe::PendingImages reply;
    for (int client = 0; client < options.clients; ++client) {
        qorpipe::PipeClient pipe(options.timeoutMs);
        std::string problem;
        if (!pipe.Connect(problem) || !pipe.CheckPendingImages(reply, problem)) {
            Fail(problem + (options.clients > 1 ? " (client " + std::to_string(client + 1) + ")"
                                                : ""));
        }
    }
    Print({{"clients", options.clients}, {"pending", reply.nPendingCount},
           {"size", reply.nImageSize}});
}

// The probe of every pipe open; the protocol the server speaks.
int Hello(qorpipe::PipeClient& pipe, qor::pipe::PendingImages& pending) {
    std::string problem;
    int protocol = 0;
    if (!pipe.Connect(problem) || !pipe.Hello(protocol, pending, problem)) {
        Fail(problem);
    }
    return protocol;
}

// Exception lists go only to a server that answered HELLO: an older one would take their bytes
// for commands.
void RequireExceptionLists(qorpipe::PipeClient& pipe) {
    qor::pipe::PendingImages pending;
    if (Hello(pipe, pending) < qor::pipe::kProtocolVersion) {
        Fail("QOR APP answers with the first protocol, which has no exception lists: install the "
             "current QOR APP");
    }
}

void RunHello(const Options& options) {
    OpenLog(options);
    qorpipe::PipeClient pipe(options.timeoutMs);
    qor::pipe::PendingImages pending;
    const int protocol = Hello(pipe, pending);
    Print({{"protocol", protocol}, {"pending", pending.nPendingCount},
           {"size", pending.nImageSize}});
}

void RunCheckExcept(const Options& options) {
    OpenLog(options);
    qorpipe::PipeClient pipe(options.timeoutMs);
    RequireExceptionLists(pipe);
    qor::pipe::PendingExcept reply;
    std::string problem;
    if (!pipe.CheckPendingExcept(options.exceptIds, reply, problem)) {
        Fail(problem);
    }
    Print({{"pending", reply.nPendingCount}, {"id", reply.nImageId}, {"size", reply.nImageSize}});
}

std::filesystem::path FreeFileName(const std::filesystem::path& folder, int& number) {
    std::filesystem::path file;
    do {
        char name[32];
        std::snprintf(name, sizeof name, "image_%03d.bmp", ++number);
        file = folder / name;
    } while (std::filesystem::exists(file));
    return file;
}

bool WriteImage(std::ofstream& out, const std::vector<uint8_t>& image) {
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return static_cast<bool>(out.flush());
}

// Somewhere else to keep an image that has already left QOR APP.
std::filesystem::path RescueImage(const std::vector<uint8_t>& image) {
    std::error_code error;
    const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
    int number = 0;
    const std::filesystem::path file = error ? std::filesystem::path() : FreeFileName(temp, number);
    std::ofstream out(file, std::ios::binary);
    return !file.empty() && out && WriteImage(out, image) ? file : std::filesystem::path();
}

void RunFetch(const Options& options) {
    OpenLog(options);
    const std::filesystem::path folder = PathFromUtf8(options.outDir);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!std::filesystem::is_directory(folder)) {
        Fail("cannot create the folder " + options.outDir + ": choose a folder you may write to");
    }
    qorpipe::PipeClient pipe(options.timeoutMs);
    std::string problem;
    if (!pipe.Connect(problem)) {
        Fail(problem);
    }
    nlohmann::json images = nlohmann::json::array();
    qor::pipe::PendingImages reply;
    int number = 0;
    for (int fetched = 0; options.count < 0 || fetched < options.count; ++fetched) {
        const auto start = std::chrono::steady_clock::now();
        if (!pipe.CheckPendingImages(reply, problem)) {
            Fail(problem);
        }
        if (reply.nPendingCount == 0) {
            break;
        }
        // The file is opened before the image leaves QOR APP, so a folder that refuses it costs
        // nothing; should the write itself fail, the bytes go to the temporary folder instead.
        std::filesystem::path file = FreeFileName(folder, number);
        std::ofstream out(file, std::ios::binary);
        if (!out) {
            Fail("cannot create " + Utf8(file) + ": choose a folder you may write to (the image "
                 "stays in QOR APP)");
        }
        std::vector<uint8_t> image;
        int reads = 0;
        if (!pipe.GetImage(reply.nImageSize, image, reads, problem, options.abortAfter)) {
            out.close();
            std::filesystem::remove(file, error);
            Fail(problem);
        }
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        if (!WriteImage(out, image)) {
            out.close();
            const std::filesystem::path rescue = RescueImage(image);
            Fail("cannot write " + Utf8(file) + "; the image has left QOR APP and was saved as " +
                 (rescue.empty() ? std::string("nothing: it is lost") : Utf8(rescue)) +
                 ". Free disk space before fetching the others (they stay in QOR APP)");
        }
        images.push_back({{"file", Utf8(file)}, {"bytes", image.size()},
                          {"pending_before", reply.nPendingCount}, {"ms", ms}, {"reads", reads}});
    }
    if (options.count >= 0 && static_cast<int>(images.size()) == options.count &&
        !pipe.CheckPendingImages(reply, problem)) {
        Fail(problem);
    }
    Print({{"images", images}, {"pending_after", reply.nPendingCount}});
}

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// LEND_IMAGE, or with `except` LEND_IMAGE_EXCEPT after the probe.
void RunLend(const Options& options, bool except) {
    OpenLog(options);
    qorpipe::PipeClient pipe(options.timeoutMs);
    std::string problem;
    if (except) {
        RequireExceptionLists(pipe);
    } else if (!pipe.Connect(problem)) {
        Fail(problem);
    }
    qor::pipe::LentImage header;
    std::vector<uint8_t> image;
    if (!pipe.LendImage(header, image, problem, options.abortAfter,
                        except ? &options.exceptIds : nullptr)) {
        Fail(problem);
    }
    nlohmann::json result = {{"id", header.nImageId}, {"size", header.nImageSize},
                             {"crc32", Hex32(header.nCrc32)}};
    if (header.nImageSize == 0) {
        Print(result);
        return;
    }
    if (!options.outFile.empty()) {
        const std::filesystem::path file = PathFromUtf8(options.outFile);
        std::ofstream out(file, std::ios::binary);
        if (!out || !WriteImage(out, image)) {
            Fail("cannot write " + options.outFile +
                 ": choose a folder you may write to (the image stays in QOR APP)");
        }
        out.close();
        result["file"] = options.outFile;
    }
    if (options.confirmAfterLend) {
        // Only an image kept safely is confirmed: written completely into its file above.
        bool removed = false;
        if (!pipe.ConfirmImage({header.nImageId, header.nCrc32}, removed, problem)) {
            Fail(problem);
        }
        result["removed"] = removed;
    }
    Print(result);
}

void RunConfirm(const Options& options) {
    OpenLog(options);
    size_t used = 0;
    unsigned long long crc = 1ULL << 32;
    try {
        crc = std::stoull(options.crc, &used, 0);
    } catch (const std::exception&) {
    }
    if (used != options.crc.size() || crc > 0xFFFFFFFFULL) {
        Fail("'" + options.crc + "' is not a CRC-32: give a number such as 0x1A2B3C4D, as lend "
             "printed it");
    }
    qorpipe::PipeClient pipe(options.timeoutMs);
    std::string problem;
    bool removed = false;
    const qor::pipe::ImageConfirmation confirmation{static_cast<int32_t>(options.imageId),
                                                    static_cast<uint32_t>(crc)};
    if (!pipe.Connect(problem) || !pipe.ConfirmImage(confirmation, removed, problem)) {
        Fail(problem);
    }
    Print({{"id", confirmation.nImageId}, {"crc32", Hex32(confirmation.nCrc32)},
           {"removed", removed}});
}

std::vector<uint8_t> ParseBytes(const std::vector<std::string>& texts) {
    std::vector<uint8_t> bytes;
    for (const std::string& text : texts) {
        size_t used = 0;
        unsigned long value = 256;
        try {
            value = std::stoul(text, &used, 0);
        } catch (const std::exception&) {
        }
        if (used != text.size() || value > 255) {
            Fail("'" + text + "' is not a byte: give numbers 0 to 255, e.g. 1 or 0x7f");
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

void RunSend(const Options& options) {
    OpenLog(options);
    const std::vector<uint8_t> bytes = ParseBytes(options.bytes);
    qorpipe::PipeClient pipe(options.timeoutMs);
    std::string problem;
    if (!pipe.Connect(problem) || (!bytes.empty() && !pipe.Send(bytes, problem))) {
        Fail(problem);
    }
    const std::vector<uint8_t> received = pipe.Receive(options.read);
    // Printed before the hold, so that a test sees the answer while this client still holds on.
    Print({{"sent", bytes.size()}, {"received", received}, {"left_over", pipe.Waiting()}});
    std::fflush(stdout);
    if (options.holdMs > 0) {
        Sleep(options.holdMs);
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qorpipe - check QOR APP's image pipe and fetch the waiting images"};
    app.require_subcommand(1);
    app.allow_windows_style_options(false);
    Options options;
    app.add_option("--timeout", options.timeoutMs,
                   "longest wait of one read or write in ms (default 10000)");
    app.add_option("--log", options.logFile, "write the pipe's log lines to this file");

    CLI::App* check = app.add_subcommand("check", "number of selected images and the next size");
    check->add_option("--clients", options.clients, "connect this many times, one after another")
        ->check(CLI::Range(1, 100000));
    check->callback([&] { RunCheck(options); });

    CLI::App* fetch = app.add_subcommand("fetch", "fetch images (oldest first) into files; they "
                                                  "leave QOR APP's store");
    fetch->add_option("--count", options.count, "at most this many (default: all waiting)")
        ->check(CLI::NonNegativeNumber);
    fetch->add_option("--out", options.outDir, "folder for image_NNN.bmp")->required();
    fetch->add_option("--abort-after", options.abortAfter,
                      "test aid: end abruptly after this many bytes of an image")
        ->check(CLI::NonNegativeNumber);
    fetch->callback([&] { RunFetch(options); });

    CLI::App* hello = app.add_subcommand("hello", "the probe of a client: which protocol QOR APP "
                                                  "speaks, and its selected images");
    hello->callback([&] { RunHello(options); });

    const auto addExceptIds = [&](CLI::App* command) {
        command->add_option("--except", options.exceptIds,
                            "ids of images to pass over, e.g. 140305120,93000000 (at most 128)")
            ->delimiter(',');
    };
    CLI::App* checkExcept = app.add_subcommand(
        "check-except", "number of selected images not passed over, id and size of the next");
    addExceptIds(checkExcept);
    checkExcept->callback([&] { RunCheckExcept(options); });

    for (const bool except : {false, true}) {
        CLI::App* lend =
            except ? app.add_subcommand("lend-except", "lend the oldest selected image not passed "
                                                       "over: it stays in QOR APP's store until "
                                                       "confirmed")
                   : app.add_subcommand("lend", "lend the oldest selected image: it stays in QOR "
                                                "APP's store until confirmed");
        if (except) {
            addExceptIds(lend);
        }
        lend->add_option("--out", options.outFile, "write the image into this file");
        lend->add_flag("--confirm", options.confirmAfterLend,
                       "confirm the image once it is written, so that it leaves the store");
        lend->add_option("--abort-after", options.abortAfter,
                         "test aid: end abruptly after this many bytes of the image")
            ->check(CLI::NonNegativeNumber);
        lend->callback([&options, except] { RunLend(options, except); });
    }

    CLI::App* confirm = app.add_subcommand("confirm", "confirm a lent image: it leaves the store");
    confirm->add_option("--id", options.imageId, "the image id lend printed")
        ->required()
        ->check(CLI::Range(static_cast<int64_t>(0), static_cast<int64_t>(qor::pipe::kMaxImageId)));
    confirm->add_option("--crc", options.crc, "the CRC-32 lend printed, e.g. 0x1A2B3C4D")->required();
    confirm->callback([&] { RunConfirm(options); });

    CLI::App* send = app.add_subcommand("send", "diagnostic: send raw request bytes, read the reply");
    send->add_option("--bytes", options.bytes, "bytes to send, e.g. 1 or 0x7f,2")->delimiter(',');
    send->add_option("--read", options.read, "reply bytes to read (waits up to --timeout)");
    send->add_option("--hold", options.holdMs, "stay connected and silent this many ms");
    send->callback([&] { RunSend(options); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    } catch (const std::exception& error) {
        std::cerr << "qorpipe: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
