#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/net/URLError.h"
#include "platform/system/Bytes.h"

namespace platform::net {

struct Response {
    std::string url;  // the final address, after redirects
    int statusCode = 0;
};

// The fraction of the announced body received so far, 0.0 to 1.0.
using Progress = std::function<void(double fraction)>;

// A body kept in memory: the body and the response, or the error.
using DataCompletion = std::function<void(
    std::optional<Bytes> body, std::optional<Response> response, std::optional<URLError> error)>;

// Takes each piece of the body as it arrives. Throwing refuses the piece: the
// transfer ends and the exception reaches the completion as sinkError.
using BodySink = std::function<void(std::span<const std::byte> piece)>;

// How a streamed transfer ended: exactly one of the three is set.
struct DownloadOutcome {
    std::optional<Response> response;  // the whole body went to the sink
    std::optional<URLError> error;     // the transfer failed
    std::exception_ptr sinkError;      // the sink refused a piece
};
using DownloadCompletion = std::function<void(DownloadOutcome outcome)>;

// HTTPS GET requests with no cookies, cache or stored credentials. Only https
// is fetched: an address or a redirect with any other scheme fails with
// insecureAddressRefused before anything is sent. Servers are verified
// against the system trust store (or SSL_CERT_FILE); redirects are followed,
// up to a bound. A transfer fails when it receives nothing for 60 seconds, or
// under 100 bytes a second over 60 seconds (see TransferSettings for the
// variables tests shorten these with). Any HTTP status is a success here.
//
// A session owns two threads: one that runs every transfer of the session,
// and one on which their completions run, one at a time, in the order the
// transfers ended. Progress is told on the transfer thread: at most about
// once a display frame, each change within a frame even when the server
// pauses right after it, and 1.0 once when the body is complete; nothing
// while the server announced no length. Completions and progress handlers
// must not throw.
//
// Destroying the session ends its transfers (their completions never run,
// nor do completions not yet started) and joins both threads; it waits for a
// completion or progress handler under way, so it must not be destroyed from
// one, nor from a thread such a handler waits for.
class Session {
  public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Starts a GET whose body is kept in memory. A body longer than
    // maximumBodySize fails with bodyTooLarge as soon as that shows (from
    // the announced length, or once the bytes received pass it); the rest is
    // not read. Returns at once; may be called from any thread.
    void fetch(std::string address, std::size_t maximumBodySize, DataCompletion completion,
               Progress progress = {});

    // Starts a GET whose body goes to sink piece by piece, on the transfer
    // thread, and is never held whole. Returns at once; any thread.
    void download(std::string address, BodySink sink, DownloadCompletion completion,
                  Progress progress = {});

  private:
    class Loop;
    std::unique_ptr<Loop> loop_;
};

}  // namespace platform::net
