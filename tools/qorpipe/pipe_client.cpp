// PipeClient: one exchange at a time over the client end of the image pipe.
#include "tools/qorpipe/pipe_client.h"

#include <algorithm>

namespace qorpipe {

namespace {

const wchar_t* PipeName() { return reinterpret_cast<const wchar_t*>(qor::pipe::kPipeName); }

// The CHECK_PENDING_IMAGES reply, believed only when it passes its checks.
bool JudgePendingReply(const uint8_t* bytes, size_t count, qor::pipe::PendingImages& reply,
                       std::string& problem) {
    const qor::pipe::ReplyCheck check = qor::pipe::DecodePendingImages(bytes, count, &reply);
    if (check != qor::pipe::ReplyCheck::Ok && check != qor::pipe::ReplyCheck::NoImages) {
        problem = std::string(qor::pipe::Describe(check)) +
                  "; the program serving the pipe is not a working QOR APP, restart it";
        return false;
    }
    return true;
}

// An exception-list request; false (and nothing to send) for more ids than a request holds.
bool EncodeExcept(qor::pipe::PipeCommand command, const std::vector<int32_t>& exceptIds,
                  std::vector<uint8_t>& request, std::string& problem) {
    request = qor::pipe::EncodeExceptRequest(command, exceptIds);
    if (request.empty()) {
        // Appended piece by piece: GCC 12 at -O3 warns falsely about "literal + string".
        problem = "more than ";
        problem += std::to_string(qor::pipe::kMaxExceptIds);
        problem += " image ids to pass over: name fewer";
        return false;
    }
    return true;
}

}  // namespace

std::string DescribeError(DWORD error) {
    wchar_t text[256] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   text, 256, nullptr);
    char narrow[512] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    std::string message(narrow);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return "error " + std::to_string(error) + (message.empty() ? "" : " (" + message + ")");
}

bool PipeClient::Connect(std::string& problem) {
    m_Pipe.SetTimeLimit(m_nTimeLimitMs);
    const DWORD start = GetTickCount();
    for (;;) {
        if (m_Pipe.Create(PipeName(), 1, L"")) {
            return true;
        }
        const DWORD error = GetLastError();
        const DWORD spent = GetTickCount() - start;
        if (error != ERROR_PIPE_BUSY || spent >= m_nTimeLimitMs) {
            problem = "cannot open the image pipe \\\\.\\PIPE\\QOR COMM: " + DescribeError(error) +
                      (error == ERROR_FILE_NOT_FOUND ? "; is QOR APP running? Start it and try again"
                                                     : "; try again when QOR APP is free");
            return false;
        }
        // Another client is being served: wait for the instance the server makes next.
        WaitNamedPipeW(PipeName(), std::min<DWORD>(m_nTimeLimitMs - spent, 1000));
    }
}

bool PipeClient::Send(const std::vector<uint8_t>& bytes, std::string& problem) {
    DWORD written = 0;
    if (!m_Pipe.Write(bytes.data(), static_cast<DWORD>(bytes.size()), &written) ||
        written != bytes.size()) {
        problem = "the request could not be sent: " + DescribeError(GetLastError()) +
                  "; QOR APP may have ended, start it and try again";
        return false;
    }
    return true;
}

std::vector<uint8_t> PipeClient::Receive(size_t expect) {
    std::vector<uint8_t> bytes(expect);
    size_t have = 0;
    while (have < expect) {
        DWORD read = 0;
        if (!m_Pipe.Read(bytes.data() + have, static_cast<DWORD>(expect - have), &read) ||
            read == 0) {
            break;
        }
        have += read;
    }
    bytes.resize(have);
    return bytes;
}

DWORD PipeClient::Waiting() {
    DWORD available = 0;
    return m_Pipe.Peek(&available) ? available : 0;
}

bool PipeClient::CheckPendingImages(qor::pipe::PendingImages& reply, std::string& problem) {
    if (!Send({qor::pipe::CHECK_PENDING_IMAGES}, problem)) {
        return false;
    }
    uint8_t bytes[qor::pipe::kPendingReplyBytes] = {};
    DWORD read = 0;
    if (!m_Pipe.Read(bytes, sizeof bytes, &read)) {
        problem = "no reply to CHECK_PENDING_IMAGES: " + DescribeError(GetLastError()) +
                  "; QOR APP may be busy or ended, try again";
        return false;
    }
    return JudgePendingReply(bytes, read, reply, problem);
}

bool PipeClient::Hello(int& protocol, qor::pipe::PendingImages& pending, std::string& problem) {
    if (!Send({qor::pipe::kHelloProbe.begin(), qor::pipe::kHelloProbe.end()}, problem)) {
        return false;
    }
    uint8_t bytes[qor::pipe::kPendingReplyBytes] = {};
    size_t have = 0;
    if (!ReadExactly(bytes, sizeof bytes, have)) {
        problem = "no reply to HELLO and CHECK_PENDING_IMAGES (" + std::to_string(have) +
                  " of 8 bytes): " + DescribeError(GetLastError()) +
                  "; QOR APP may be busy or ended, try again";
        return false;
    }
    protocol = 1;
    if (qor::pipe::IsHelloReply(bytes, have)) {
        protocol = qor::pipe::kProtocolVersion;
        if (!ReadExactly(bytes, sizeof bytes, have)) {
            problem = "no reply to CHECK_PENDING_IMAGES after HELLO (" + std::to_string(have) +
                      " of 8 bytes): " + DescribeError(GetLastError()) +
                      "; QOR APP may be busy or ended, try again";
            return false;
        }
    }
    return JudgePendingReply(bytes, have, pending, problem);
}

bool PipeClient::CheckPendingExcept(const std::vector<int32_t>& exceptIds,
                                    qor::pipe::PendingExcept& reply, std::string& problem) {
    std::vector<uint8_t> request;
    if (!EncodeExcept(qor::pipe::CHECK_PENDING_EXCEPT, exceptIds, request, problem) ||
        !Send(request, problem)) {
        return false;
    }
    uint8_t bytes[qor::pipe::kPendingExceptReplyBytes] = {};
    size_t have = 0;
    if (!ReadExactly(bytes, sizeof bytes, have)) {
        problem = "no whole reply to CHECK_PENDING_EXCEPT (" + std::to_string(have) +
                  " of 12 bytes): " + DescribeError(GetLastError()) +
                  "; QOR APP may be busy or ended, try again";
        return false;
    }
    const qor::pipe::PendingExceptCheck check =
        qor::pipe::DecodePendingExcept(bytes, have, &reply);
    if (check != qor::pipe::PendingExceptCheck::Ok &&
        check != qor::pipe::PendingExceptCheck::NoImages) {
        problem = std::string(qor::pipe::Describe(check)) +
                  "; the program serving the pipe is not a working QOR APP, restart it";
        return false;
    }
    return true;
}

bool PipeClient::GetImage(int32_t size, std::vector<uint8_t>& image, int& reads,
                          std::string& problem, int64_t abortAfter) {
    if (!Send({qor::pipe::GET_IMAGES}, problem)) {
        return false;
    }
    image.assign(static_cast<size_t>(size), 0);
    size_t have = 0;
    reads = 0;
    while (have < image.size()) {
        size_t want = image.size() - have;
        if (abortAfter >= 0) {
            want = std::min<size_t>(want, static_cast<size_t>(abortAfter) - have);
        }
        DWORD read = 0;
        if (want > 0) {
            if (!m_Pipe.Read(image.data() + have, static_cast<DWORD>(want), &read) || read == 0) {
                problem = "the image stopped after " + std::to_string(have) + " of " +
                          std::to_string(size) + " bytes: " + DescribeError(GetLastError()) +
                          "; it stays stored in QOR APP, fetch it again";
                return false;
            }
            ++reads;
            have += read;
        }
        if (abortAfter >= 0 && have >= static_cast<size_t>(abortAfter)) {
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
    const qor::pipe::ImageCheck check = qor::pipe::CheckImageReply(image.data(), have, size);
    if (check != qor::pipe::ImageCheck::Ok) {
        problem = std::string(qor::pipe::Describe(check)) +
                  "; the program serving the pipe is not a working QOR APP, restart it";
        return false;
    }
    return true;
}

bool PipeClient::ReadExactly(uint8_t* buffer, size_t count, size_t& have, int64_t abortAfter) {
    have = 0;
    while (have < count) {
        size_t want = count - have;
        if (abortAfter >= 0) {
            want = std::min<size_t>(want, static_cast<size_t>(abortAfter) - have);
        }
        if (want > 0) {
            DWORD read = 0;
            if (!m_Pipe.Read(buffer + have, static_cast<DWORD>(want), &read) || read == 0) {
                return false;
            }
            have += read;
        }
        if (abortAfter >= 0 && have >= static_cast<size_t>(abortAfter)) {
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
    return true;
}

bool PipeClient::LendImage(qor::pipe::LentImage& header, std::vector<uint8_t>& image,
                           std::string& problem, int64_t abortAfter,
                           const std::vector<int32_t>* exceptIds) {
    image.clear();
    std::vector<uint8_t> request = {qor::pipe::LEND_IMAGE};
    if ((exceptIds != nullptr &&
         !EncodeExcept(qor::pipe::LEND_IMAGE_EXCEPT, *exceptIds, request, problem)) ||
        !Send(request, problem)) {
        return false;
    }
    uint8_t head[qor::pipe::kLendHeaderBytes] = {};
    size_t have = 0;
    if (!ReadExactly(head, sizeof head, have)) {
        problem = "no whole reply to LEND_IMAGE (" + std::to_string(have) + " of 12 bytes): " +
                  DescribeError(GetLastError()) +
                  "; QOR APP may be an older version without lending, busy or ended";
        return false;
    }
    const qor::pipe::LendCheck check = qor::pipe::DecodeLendHeader(head, have, &header);
    if (check == qor::pipe::LendCheck::NoImage) {
        return true;
    }
    if (check != qor::pipe::LendCheck::Ok) {
        problem = std::string(qor::pipe::Describe(check)) +
                  "; the program serving the pipe is not a working QOR APP, restart it";
        return false;
    }
    image.assign(static_cast<size_t>(header.nImageSize), 0);
    if (!ReadExactly(image.data(), image.size(), have, abortAfter)) {
        problem = "the lent image stopped after " + std::to_string(have) + " of " +
                  std::to_string(header.nImageSize) + " bytes: " + DescribeError(GetLastError()) +
                  "; it stays stored in QOR APP, lend it again";
        image.clear();
        return false;
    }
    const qor::pipe::ImageCheck imageCheck = qor::pipe::CheckLentImage(image.data(), have, header);
    if (imageCheck != qor::pipe::ImageCheck::Ok) {
        problem = std::string(qor::pipe::Describe(imageCheck)) +
                  "; the image is discarded and stays stored in QOR APP, lend it again";
        image.clear();
        return false;
    }
    return true;
}

bool PipeClient::ConfirmImage(const qor::pipe::ImageConfirmation& confirmation, bool& removed,
                              std::string& problem) {
    const auto request = qor::pipe::EncodeConfirmRequest(confirmation);
    if (!Send(std::vector<uint8_t>(request.begin(), request.end()), problem)) {
        return false;
    }
    uint8_t reply[qor::pipe::kConfirmReplyBytes] = {};
    size_t have = 0;
    if (!ReadExactly(reply, sizeof reply, have)) {
        problem = "no reply to CONFIRM_IMAGE: " + DescribeError(GetLastError()) +
                  "; confirm again once QOR APP answers (a repeated confirmation changes nothing)";
        return false;
    }
    const qor::pipe::ConfirmCheck check = qor::pipe::DecodeConfirmReply(reply, have);
    if (check != qor::pipe::ConfirmCheck::Removed && check != qor::pipe::ConfirmCheck::NotInStore) {
        problem = std::string(qor::pipe::Describe(check)) +
                  "; the program serving the pipe is not a working QOR APP, restart it";
        return false;
    }
    removed = check == qor::pipe::ConfirmCheck::Removed;
    return true;
}

}  // namespace qorpipe
