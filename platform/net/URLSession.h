#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/system/Bytes.h"
#include "platform/system/Error.h"
#include "platform/system/URL.h"

namespace platform {

// The kinds of transport failure, each with a stable negative code.
enum class URLErrorCode : int {
    unknown = -1,
    badURL = -1000,
    timedOut = -1001,
    unsupportedURL = -1002,
    cannotFindHost = -1003,
    cannotConnectToHost = -1004,
    networkConnectionLost = -1005,
    httpTooManyRedirects = -1007,
    badServerResponse = -1011,
    dataLengthExceedsMaximum = -1103,
    secureConnectionFailed = -1200,
    serverCertificateUntrusted = -1202,
};

// A transport failure (no connection, unknown host, TLS, timeout, ...). The
// description is a readable sentence such as "Could not connect to the
// server."; the code is a stable negative number per kind of failure.
class URLError : public Error {
  public:
    using Error::Error;
    // The standard description of a kind of failure; host fills the texts that
    // name the server.
    explicit URLError(URLErrorCode code, const std::string& host = {});

    URLErrorCode errorCode() const noexcept { return static_cast<URLErrorCode>(code().value()); }
};

struct HTTPResponse {
    URL url;  // the final URL after redirects
    int statusCode = 0;
};

// One HTTP GET. Its completion runs once, on the session's own background
// thread (the session's callback queue). A response with any HTTP status is
// a success at this level: the body and the response arrive, the error is
// none. A transport failure delivers only the error.
class DataTask {
  public:
    using Completion =
        std::function<void(std::optional<Bytes> body, std::optional<HTTPResponse> response,
                           std::optional<URLError> error)>;
    virtual ~DataTask() = default;

    // Starts the transfer; later calls do nothing. A running task keeps itself
    // alive: dropping every reference to it does not cancel it.
    virtual void resume() = 0;
    // Fraction of the expected body received so far, 0.0 to 1.0. Stays 0.0
    // while the server has not announced a length, until the body is complete.
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
//
// Test-only: CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS, when set to a positive
// number of milliseconds, replaces the 60-second idle timeout. Both variables
// are read when a task is resumed.
class URLSession {
  public:
    static std::shared_ptr<URLSession> ephemeral();
    virtual ~URLSession() = default;
    virtual std::shared_ptr<DataTask> dataTask(const URL& url, DataTask::Completion completion) = 0;
};

}  // namespace platform
