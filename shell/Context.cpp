#include "shell/Context.h"

#include <cstdio>
#include <cstdlib>

#include "platform/system/Error.h"
#include "platform/system/FileURLText.h"
#include "platform/system/Pipe.h"

namespace shell {

namespace {

// A text in its debug form: in double quotes, with escapes.
std::string debugQuoted(std::string_view text) {
    std::string result = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                result += "\\\"";
                break;
            case '\\':
                result += "\\\\";
                break;
            case '\n':
                result += "\\n";
                break;
            case '\r':
                result += "\\r";
                break;
            case '\t':
                result += "\\t";
                break;
            case '\0':
                result += "\\0";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    char escape[16];
                    std::snprintf(escape, sizeof escape, "\\u{%02x}",
                                  static_cast<unsigned char>(c));
                    result += escape;
                } else {
                    result += c;
                }
        }
    }
    return result + "\"";
}

std::string debugForm(const platform::Environment& env) {
    if (env.empty())
        return "[:]";
    std::string result = "[";
    bool first = true;
    for (const auto& [name, value] : env) {
        if (!first)
            result += ", ";
        first = false;
        result += debugQuoted(name) + ": " + debugQuoted(value);
    }
    return result + "]";
}

template <class Stream>
std::string debugForm(const std::shared_ptr<Stream>& stream) {
    return stream ? stream->debugDescription() : "nil";
}

// The last component of a file path ("b" for "/a/b/"); "" for "".
std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    if (path == "/")
        return "/";
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

std::string Context::debugDescription() {
    std::string result;
    result += debugQuoted("stdin:") + " " + debugForm(stdin()) + " " + debugQuoted("stdout:") +
              " " + debugForm(stdout()) + " " + debugQuoted("stderror:") + " " +
              debugForm(stderror()) + " " + debugQuoted("currentdirectory:") + " " +
              debugQuoted(currentdirectory()) + "\n";
    result += debugQuoted("env:") + " " + debugForm(env()) + "\n";
    return result;
}

// CustomContext

CustomContext::CustomContext()
    : stdin_(std::make_shared<FileHandleStream>(platform::FileHandle::nullDevice())),
      stdout_(std::make_shared<FileHandleStream>(platform::FileHandle::nullDevice())),
      stderror_(std::make_shared<FileHandleStream>(platform::FileHandle::nullDevice())),
      currentdirectory_(mainContext().currentdirectory()) {}

CustomContext::CustomContext(Context& other) {
    // One read each, in this order: a lazy context computes what is read.
    env_ = other.env();
    stdin_ = other.stdin();
    stdout_ = other.stdout();
    stderror_ = other.stderror();
    currentdirectory_ = other.currentdirectory();
}

std::shared_ptr<Context> CustomContext::commandContext() const {
    return std::make_shared<CustomContext>(*this);
}

// MainContext

MainContext& mainContext() {
    // Never destroyed, so it outlives every thread that may still use it.
    static auto* instance = new MainContext;
    return *instance;
}

platform::FileSystem& fileSystem() {
    return platform::FileSystem::shared();
}

void exitWithMessage(std::string_view message, int status) {
    try {
        mainContext().stderror()->print(message);
    } catch (...) {
        // Nowhere to report it; ending the process matters more.
    }
    std::exit(status);
}

platform::TextEncoding MainContext::encoding() const {
    std::lock_guard lock(mutex_);
    return encoding_;
}

void MainContext::setEncoding(platform::TextEncoding encoding) {
    std::lock_guard lock(mutex_);
    encoding_ = std::move(encoding);
}

platform::Environment& MainContext::env() {
    std::lock_guard lock(mutex_);
    if (!env_)
        env_ = platform::processInfo::environment();
    return *env_;
}

void MainContext::setEnv(platform::Environment env) {
    std::lock_guard lock(mutex_);
    env_ = std::move(env);
}

std::shared_ptr<ReadableStream> MainContext::stdin() {
    std::lock_guard lock(mutex_);
    if (!stdin_)
        stdin_ =
            std::make_shared<FileHandleStream>(platform::FileHandle::standardInput(), encoding_);
    return stdin_;
}

void MainContext::setStdin(std::shared_ptr<ReadableStream> stream) {
    std::lock_guard lock(mutex_);
    stdin_ = std::move(stream);
}

std::shared_ptr<WritableStream> MainContext::stdout() {
    std::lock_guard lock(mutex_);
    if (!stdout_) {
        auto stream = std::make_shared<StdoutStream>();
        stream->setEncoding(encoding_);
        stdout_ = std::move(stream);
    }
    return stdout_;
}

void MainContext::setStdout(std::shared_ptr<WritableStream> stream) {
    std::lock_guard lock(mutex_);
    stdout_ = std::move(stream);
}

std::shared_ptr<WritableStream> MainContext::stderror() {
    std::lock_guard lock(mutex_);
    if (!stderror_) {
        stderror_ =
            std::make_shared<FileHandleStream>(platform::FileHandle::standardError(), encoding_);
    }
    return stderror_;
}

void MainContext::setStderror(std::shared_ptr<WritableStream> stream) {
    std::lock_guard lock(mutex_);
    stderror_ = std::move(stream);
}

std::string MainContext::currentdirectory() {
    // No check for a trailing "/": the root reads as "//".
    return fileSystem().currentDirectory() + "/";
}

void MainContext::setCurrentdirectory(const std::string& path) {
    if (!fileSystem().setCurrentDirectory(path)) {
        exitWithMessage("Could not change the working directory to " + path);
    }
}

std::string MainContext::tempdirectory() {
    // One first read at a time, so that only one directory is ever made.
    std::lock_guard making(tempdirectoryMutex_);
    std::filesystem::path directory;
    {
        std::lock_guard lock(mutex_);
        if (tempdirectory_)
            return *tempdirectory_;
        directory = fileSystem().temporaryDirectory() /
                    (lastPathComponent(pathLocked()) + "-" + platform::processInfo::uniqueName());
    }
    try {
        fileSystem().createDirectories(directory);
    } catch (const platform::Error& error) {
        // Outside the lock: the message goes through stderror().
        exitWithMessage("Could not create new temporary directory '" +
                            platform::fileURLText(directory, true) + "':\n" + error.what(),
                        error.code().value());
    }
    std::lock_guard lock(mutex_);
    // Another thread may have been first; keep its directory.
    if (!tempdirectory_)
        tempdirectory_ = directory.string() + "/";
    return *tempdirectory_;
}

void MainContext::setTempdirectory(std::string path) {
    std::lock_guard lock(mutex_);
    tempdirectory_ = std::move(path);
}

std::vector<std::string> MainContext::arguments() {
    std::lock_guard lock(mutex_);
    if (!arguments_) {
        auto commandLine = platform::processInfo::arguments();
        arguments_.emplace(commandLine.empty() ? commandLine.end() : commandLine.begin() + 1,
                           commandLine.end());
    }
    return *arguments_;
}

void MainContext::setArguments(std::vector<std::string> arguments) {
    std::lock_guard lock(mutex_);
    arguments_ = std::move(arguments);
}

std::string MainContext::path() {
    std::lock_guard lock(mutex_);
    return pathLocked();
}

std::string MainContext::pathLocked() {
    if (!path_) {
        const auto commandLine = platform::processInfo::arguments();
        path_ = commandLine.empty() ? std::string() : commandLine.front();
    }
    return *path_;
}

void MainContext::setPath(std::string path) {
    std::lock_guard lock(mutex_);
    path_ = std::move(path);
}

std::shared_ptr<Context> MainContext::commandContext() const {
    // A non-owning reference: the instance lives as long as the process.
    return std::shared_ptr<Context>(std::shared_ptr<void>(), const_cast<MainContext*>(this));
}

// Readable streams and texts as command runners

std::shared_ptr<Context> ReadableStream::commandContext() const {
    auto context = std::make_shared<CustomContext>(mainContext());
    context->setStdin(std::const_pointer_cast<ReadableStream>(shared_from_this()));
    return context;
}

std::shared_ptr<Context> TextInput::commandContext() const {
    auto context = std::make_shared<CustomContext>(mainContext());
    const auto pipe = platform::Pipe::create();
    // Nobody reads the pipe before a command starts, so the whole text must
    // fit in it. A text larger than an ordinary pipe can be made to hold goes
    // into an in-memory file instead: its reader sees the same bytes, then end
    // of input, and the memory is not pinned in the kernel as a pipe's is.
    constexpr std::size_t largestPipedText = 1024 * 1024;
    if (text_.size() <= largestPipedText && pipe->writingEnd()->reservePipeCapacity(text_.size())) {
        FileHandleStream writer(pipe->writingEnd());
        writer.write(text_);
        writer.close();
        context->setStdin(std::make_shared<FileHandleStream>(pipe->readingEnd()));
    } else {
        auto bytes = platform::TextEncoding::utf8().encode(text_);
        if (!bytes)
            throw ConversionError(textToBinaryFailure);
        context->setStdin(
            std::make_shared<FileHandleStream>(platform::FileHandle::memoryFile(*bytes)));
    }
    return context;
}

}  // namespace shell
