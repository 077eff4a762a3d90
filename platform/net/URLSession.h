#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/system/Bytes.h"
#include "platform/system/Error.h"
#include "platform/system/URL.h"

namespace platform {

// A transport failure (no connection, unknown host, TLS, timeout, ...). The
// description is a readable sentence such as "Could not connect to the
// server."; the code is a stable negative number per kind of failure.
class URLError : public Error {
public:
    using Error::Error;
};

struct HTTPResponse {
    URL url;  // the final URL after redirects
    int statusCode = 0;
};

// One HTTP GET. Its completion runs once, on the session's own background
// thread (the session's callback queue).
class DataTask {
public:
    using Completion = std::function<void(std::optional<Bytes> body,
                                          std::optional<HTTPResponse> response,
                                          std::optional<URLError> error)>;
    virtual ~DataTask() = default;

    // Starts the transfer; later calls do nothing.
    virtual void resume() = 0;
    // Fraction of the expected body received so far, 0.0 to 1.0.
    virtual double fractionCompleted() const = 0;
    // Observes fractionCompleted: the handler runs on the transfer thread each
    // time the fraction has moved visibly (not once per network chunk), and
    // once with 1.0 when the body is complete. Replaces an earlier observer.
    virtual void observeProgress(std::function<void(double fraction)> handler) = 0;
};

// An ephemeral session: no cookies, no cache, no stored credentials. TLS is
// always verified against the system trust store, or against the file named
// by SSL_CERT_FILE when set. Redirects are followed (a bounded number); a
// request that receives nothing for 60 seconds fails with a timeout.
class URLSession {
public:
    static std::shared_ptr<URLSession> ephemeral();
    virtual ~URLSession() = default;
    virtual std::shared_ptr<DataTask> dataTask(const URL& url, DataTask::Completion completion) = 0;
};

}  // namespace platform
