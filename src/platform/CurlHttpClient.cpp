#include "platform/CurlHttpClient.hpp"

#include "log/Log.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace quillfern {

namespace {

// Browsers give up after twenty redirects; so does the client.
constexpr long maxRedirects = 20;
// How long the worker sleeps with nothing to do; get() and the destructor wake it at once.
constexpr int idleWaitMilliseconds = 1000;

CURLM* newMultiHandle() {
  // curl_global_init is not thread-safe in every libcurl build; a function-local static runs
  // it exactly once, before the first handle is made.
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  static_cast<void>(initialised);
  return curl_multi_init();
}

// One request on its way: the easy handle and the buffers its callbacks write into. It stays
// at one address while libcurl holds pointers into it.
struct Transfer {
  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  Transfer(Transfer&&) = delete;
  Transfer& operator=(Transfer&&) = delete;
  ~Transfer() {
    curl_easy_cleanup(easy);  // first: the handle refers to the header list
    curl_slist_free_all(headerList);
  }

  HttpClient::Completion completion;
  std::size_t maxBodyBytes = 0;
  std::string body;
  bool bodyTooLarge = false;
  std::array<char, CURL_ERROR_SIZE> errorText{};
  curl_slist* headerList = nullptr;
  CURL* easy = nullptr;
};

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  if (bytes > transfer.maxBodyBytes - transfer.body.size()) {
    transfer.bodyTooLarge = true;
    return 0;  // anything short of `bytes` makes libcurl abort the transfer
  }
  transfer.body.append(data, bytes);
  return bytes;
}

// Sets up the easy handle; returns the first option that libcurl refuses.
CURLcode configure(Transfer& transfer, const HttpClient::Request& request) {
  for (const auto& [name, value] : request.headers) {
    std::string line = name;
    line += ": ";
    line += value;
    curl_slist* longer = curl_slist_append(transfer.headerList, line.c_str());
    if (longer == nullptr) {
      return CURLE_OUT_OF_MEMORY;
    }
    transfer.headerList = longer;
  }
  CURLcode code = CURLE_OK;
  const auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) {
      code = curl_easy_setopt(transfer.easy, option, value);
    }
  };
  // TLS verification, the proxy variables of the environment and the lack of any response
  // cache are libcurl's defaults and stay untouched; ignoreLocalCache needs nothing more.
  set(CURLOPT_URL, request.url.c_str());
  set(CURLOPT_HTTPGET, 1L);
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, maxRedirects);
  set(CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  set(CURLOPT_HTTPHEADER, transfer.headerList);
  set(CURLOPT_NOSIGNAL, 1L);  // signals would reach whichever thread they like
  set(CURLOPT_ERRORBUFFER, transfer.errorText.data());
  set(CURLOPT_WRITEFUNCTION, &appendBody);
  set(CURLOPT_WRITEDATA, &transfer);
  set(CURLOPT_PRIVATE, &transfer);
  return code;
}

HttpClient::Outcome outcomeOf(Transfer& transfer, CURLcode code) {
  HttpClient::Outcome outcome;
  if (transfer.bodyTooLarge) {
    outcome.error = "response body larger than " + std::to_string(transfer.maxBodyBytes) + " bytes";
  } else if (code != CURLE_OK) {
    // The error buffer says more than the code's fixed text ("after 8000 milliseconds").
    outcome.error =
        transfer.errorText.front() != '\0' ? transfer.errorText.data() : curl_easy_strerror(code);
  } else {
    long status = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    outcome.response = HttpClient::Response{.status = status, .body = std::move(transfer.body)};
  }
  return outcome;
}

}  // namespace

struct CurlHttpClient::Worker {
  struct Job {
    Request request;
    Completion completion;
  };

  Worker() : multi(newMultiHandle()) {
    if (multi == nullptr) {
      throw std::runtime_error("curl_multi_init failed");
    }
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  Worker(Worker&&) = delete;
  Worker& operator=(Worker&&) = delete;
  // Runs after the thread has left run(), which removed every easy handle.
  ~Worker() { curl_multi_cleanup(multi); }

  void run();
  void startPending();
  void start(Job job);
  void finishDone();
  void complete(Completion& completion, Outcome outcome) const;
  void abandonAll();

  CURLM* multi = nullptr;  // its wakeup is the one call made from other threads
  std::atomic<bool> stopping{false};
  std::mutex pendingLock;  // guards pending; held only to add or take jobs
  std::vector<Job> pending;
  std::vector<std::unique_ptr<Transfer>> transfers;  // confined to the worker thread
};

void CurlHttpClient::Worker::run() {
  while (!stopping) {
    startPending();
    int running = 0;
    curl_multi_perform(multi, &running);
    finishDone();
    if (!stopping) {
      // Returns early for socket activity, for libcurl's own timers and for a wakeup; a wakeup
      // that came before this call is not lost.
      curl_multi_poll(multi, nullptr, 0, idleWaitMilliseconds, nullptr);
    }
  }
  abandonAll();
}

void CurlHttpClient::Worker::startPending() {
  std::vector<Job> jobs;
  {
    const std::scoped_lock guard(pendingLock);
    jobs.swap(pending);
  }
  for (Job& job : jobs) {
    start(std::move(job));
  }
}

void CurlHttpClient::Worker::start(Job job) {
  auto transfer = std::make_unique<Transfer>();
  transfer->completion = std::move(job.completion);
  transfer->maxBodyBytes = job.request.maxBodyBytes;
  transfer->easy = curl_easy_init();
  CURLcode code = transfer->easy == nullptr ? CURLE_FAILED_INIT : configure(*transfer, job.request);
  if (code == CURLE_OK) {
    const CURLMcode added = curl_multi_add_handle(multi, transfer->easy);
    if (added != CURLM_OK) {
      complete(transfer->completion, Outcome{.response = {}, .error = curl_multi_strerror(added)});
      return;
    }
    transfers.push_back(std::move(transfer));
    return;
  }
  complete(transfer->completion, Outcome{.response = {}, .error = curl_easy_strerror(code)});
}

void CurlHttpClient::Worker::finishDone() {
  int left = 0;
  while (const CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg != CURLMSG_DONE) {
      continue;
    }
    // The message dies with the removal of its handle, so copy what it says first.
    CURL* const easy = message->easy_handle;
    const CURLcode code = message->data.result;
    curl_multi_remove_handle(multi, easy);
    const auto found =
        std::find_if(transfers.begin(), transfers.end(),
                     [easy](const auto& transfer) { return transfer->easy == easy; });
    if (found == transfers.end()) {
      continue;
    }
    const std::unique_ptr<Transfer> transfer = std::move(*found);
    transfers.erase(found);
    complete(transfer->completion, outcomeOf(*transfer, code));
  }
}

void CurlHttpClient::Worker::complete(Completion& completion, Outcome outcome) const {
  if (stopping || !completion) {
    return;  // the client is going away: its completions must not run any more
  }
  try {
    completion(std::move(outcome));
  } catch (const std::exception& e) {
    log(LogTag::app, e.what());  // a bug got through; keep serving the other requests
  }
}

void CurlHttpClient::Worker::abandonAll() {
  for (const auto& transfer : transfers) {
    curl_multi_remove_handle(multi, transfer->easy);
  }
  transfers.clear();
  std::vector<Job> jobs;
  {
    const std::scoped_lock guard(pendingLock);
    jobs.swap(pending);
  }
}

CurlHttpClient::CurlHttpClient()
    : worker(std::make_shared<Worker>()), thread([owned = worker] { owned->run(); }) {}

CurlHttpClient::~CurlHttpClient() {
  worker->stopping = true;
  curl_multi_wakeup(worker->multi);
  if (thread.get_id() == std::this_thread::get_id()) {
    // Destroyed from inside a completion: the thread cannot wait for itself. It still owns
    // the worker and ends once that completion returns.
    thread.detach();
  } else {
    thread.join();
  }
}

void CurlHttpClient::get(Request request, Completion completion) {
  {
    const std::scoped_lock guard(worker->pendingLock);
    worker->pending.push_back(Worker::Job{std::move(request), std::move(completion)});
  }
  curl_multi_wakeup(worker->multi);
}

}  // namespace quillfern
