#pragma once

// Contexts: where a command runs (environment, standard streams, working
// directory), the process-wide main context, and the shared file system.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/FileSystem.h"
#include "platform/system/ProcessInfo.h"
#include "platform/system/TextEncoding.h"
#include "shell/CommandRunning.h"
#include "shell/Stream.h"

namespace shell {

// The five read-write properties every context has. Streams are shared
// objects: copying a context copies the references, not the streams.
class Context {
  public:
    virtual ~Context() = default;

    // env() gives the variables for reading and changing in place.
    virtual platform::Environment& env() = 0;
    virtual void setEnv(platform::Environment env) = 0;
    virtual std::shared_ptr<ReadableStream> stdin() = 0;
    virtual void setStdin(std::shared_ptr<ReadableStream> stream) = 0;
    virtual std::shared_ptr<WritableStream> stdout() = 0;
    virtual void setStdout(std::shared_ptr<WritableStream> stream) = 0;
    virtual std::shared_ptr<WritableStream> stderror() = 0;
    virtual void setStderror(std::shared_ptr<WritableStream> stream) = 0;
    // The working directory's path.
    virtual std::string currentdirectory() = 0;
    virtual void setCurrentdirectory(const std::string& path) = 0;

    // Two lines: the streams and the working directory, then the environment,
    // each item in its debug form (texts quoted and escaped).
    std::string debugDescription();

  protected:
    Context() = default;
    Context(const Context&) = default;
    Context& operator=(const Context&) = default;
};

// A context that is a plain value: copies are independent, except that they
// share their stream objects.
class CustomContext final : public Context, public CommandRunning {
  public:
    // Empty environment; stdin, stdout and stderror each a new stream over the
    // null device; the main context's current directory.
    CustomContext();
    // Reads the other context's env, stdin, stdout, stderror and
    // currentdirectory, once each and in that order.
    explicit CustomContext(Context& other);

    platform::Environment& env() override { return env_; }
    void setEnv(platform::Environment env) override { env_ = std::move(env); }
    std::shared_ptr<ReadableStream> stdin() override { return stdin_; }
    void setStdin(std::shared_ptr<ReadableStream> stream) override { stdin_ = std::move(stream); }
    std::shared_ptr<WritableStream> stdout() override { return stdout_; }
    void setStdout(std::shared_ptr<WritableStream> stream) override { stdout_ = std::move(stream); }
    std::shared_ptr<WritableStream> stderror() override { return stderror_; }
    void setStderror(std::shared_ptr<WritableStream> stream) override {
        stderror_ = std::move(stream);
    }
    std::string currentdirectory() override { return currentdirectory_; }
    void setCurrentdirectory(const std::string& path) override { currentdirectory_ = path; }

    // A copy of this context.
    std::shared_ptr<Context> commandContext() const override;

  private:
    platform::Environment env_;
    std::shared_ptr<ReadableStream> stdin_;
    std::shared_ptr<WritableStream> stdout_;
    std::shared_ptr<WritableStream> stderror_;
    std::string currentdirectory_;
};

// The context of the running process itself; its one instance is
// mainContext(). Its properties are computed at their first read and kept;
// assigning one before that means it is never computed. The working directory
// is the process's own: every read asks for it, every write changes it.
class MainContext final : public Context, public CommandRunning {
  public:
    MainContext(const MainContext&) = delete;
    MainContext& operator=(const MainContext&) = delete;

    // UTF-8 at first; read by the lazy streams when they are made, and by the
    // captured output of commands.
    platform::TextEncoding encoding() const;
    void setEncoding(platform::TextEncoding encoding);

    // The process's environment as it was at the first read.
    platform::Environment& env() override;
    void setEnv(platform::Environment env) override;
    std::shared_ptr<ReadableStream> stdin() override;
    void setStdin(std::shared_ptr<ReadableStream> stream) override;
    // A StdoutStream.
    std::shared_ptr<WritableStream> stdout() override;
    void setStdout(std::shared_ptr<WritableStream> stream) override;
    std::shared_ptr<WritableStream> stderror() override;
    void setStderror(std::shared_ptr<WritableStream> stream) override;
    // With "/" appended ("//" at the root). Setting it to a directory that
    // cannot be entered ends the process with a message.
    std::string currentdirectory() override;
    void setCurrentdirectory(const std::string& path) override;

    // A new directory for this process under the system's temporary
    // directory, created at the first read, ending in "/". Never removed here.
    std::string tempdirectory();
    void setTempdirectory(std::string path);
    // The command line without its first element.
    std::vector<std::string> arguments();
    void setArguments(std::vector<std::string> arguments);
    // The command line's first element: how the program was started; "" for
    // an empty command line.
    std::string path();
    void setPath(std::string path);

    // This very instance (not a copy), so changes made through it last.
    std::shared_ptr<Context> commandContext() const override;

  private:
    friend MainContext& mainContext();
    MainContext() = default;

    std::string pathLocked();

    // Guards the lazy values, so that first uses from two threads make one
    // value each.
    mutable std::mutex mutex_;
    std::mutex tempdirectoryMutex_;
    platform::TextEncoding encoding_ = platform::TextEncoding::utf8();
    std::optional<platform::Environment> env_;
    std::shared_ptr<ReadableStream> stdin_;
    std::shared_ptr<WritableStream> stdout_;
    std::shared_ptr<WritableStream> stderror_;
    std::optional<std::string> tempdirectory_;
    std::optional<std::vector<std::string>> arguments_;
    std::optional<std::string> path_;
};

// The process-wide context, created on first use from any thread and never
// destroyed.
MainContext& mainContext();

// The shared file system.
platform::FileSystem& fileSystem();

// Prints the message and a newline on mainContext's stderror and ends the
// process with the status.
[[noreturn]] void exitWithMessage(std::string_view message, int status = 1);

// A text as a command runner: commands run through it read exactly the text's
// bytes (UTF-8) and then end of input, however long the text is.
class TextInput final : public CommandRunning {
  public:
    explicit TextInput(std::string text) : text_(std::move(text)) {}
    const std::string& text() const noexcept { return text_; }

    // A context built from mainContext whose stdin yields the text. Throws
    // ConversionError when the text is not valid UTF-8.
    std::shared_ptr<Context> commandContext() const override;

  private:
    std::string text_;
};

// input("hello").commandContext() gives commands "hello" on their stdin.
inline TextInput input(std::string text) {
    return TextInput(std::move(text));
}

}  // namespace shell
