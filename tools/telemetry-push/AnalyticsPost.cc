#include "tools/telemetry-push/AnalyticsPost.h"

#include <curl/curl.h>

#include "lib/log/log.h"

#define ANALYTICS_TIMEOUT_SECS 1L

static const char *const kStep = "PushDataToAnalytics";

// The response is not looked at; without this callback libcurl would write
// it to standard output, which carries the helper's log records.
static size_t DiscardResponse(char *, size_t size, size_t count, void *) {
  return size * count;
}

// The request headers in their order. "Expect:" adds no header: it stops
// libcurl from asking for "100 Continue" on larger bodies, a round trip
// that a receiver without support for it would let run into the time-out.
static curl_slist *RequestHeaders() {
  static const char *const lines[] = {
      "Content-Type: application/json; charset=utf-8",
      "Cache-Control: max-age=0, no-cache, no-store",
      "Pragma: no-cache",
      "Expect:",
  };
  curl_slist *headers = nullptr;
  for (const char *line : lines) {
    curl_slist *longer = curl_slist_append(headers, line);
    if (longer == nullptr) {
      curl_slist_free_all(headers);
      return nullptr;
    }
    headers = longer;
  }
  return headers;
}

static bool SetOptions(CURL *curl, const std::string &url, const std::string &payload,
                       curl_slist *headers, char *errorBuffer) {
  return headers != nullptr && curl_easy_setopt(curl, CURLOPT_URL, url.c_str()) == CURLE_OK &&
         curl_easy_setopt(curl, CURLOPT_POSTFIELDS, payload.data()) == CURLE_OK &&
         curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                          static_cast<curl_off_t>(payload.size())) == CURLE_OK &&
         curl_easy_setopt(curl, CURLOPT_TIMEOUT, ANALYTICS_TIMEOUT_SECS) == CURLE_OK &&
         curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers) == CURLE_OK &&
         curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK &&
         curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DiscardResponse) == CURLE_OK &&
         // The endpoint is on this machine: no proxy from the environment.
         curl_easy_setopt(curl, CURLOPT_PROXY, "") == CURLE_OK &&
         curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
}

static bool PerformPost(const std::string &url, const std::string &payload) {
  CURL *curl = curl_easy_init();
  if (curl == nullptr) {
    LogAtLevel(LOG_WARNING, "[%s] Error in sending the telemetry data.\n", kStep);
    return false;
  }
  curl_slist *headers = RequestHeaders();
  char errorBuffer[CURL_ERROR_SIZE] = "";
  bool sent = false;
  if (!SetOptions(curl, url, payload, headers, errorBuffer)) {
    LogAtLevel(LOG_WARNING, "[%s] Any one of the curl setting has failed.\n", kStep);
  } else if (curl_easy_perform(curl) != CURLE_OK) {
    LogAtLevel(LOG_WARNING, "[%s] Error in sending the telemetry data.\n", kStep);
  } else {
    LogAtLevel(LOG_INFO, "Service operation metrics sent successfully.\n");
    sent = true;
  }
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  return sent;
}

bool PushDataToAnalytics(const std::string &url, const std::string &payload) {
  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    LogAtLevel(LOG_INFO,
               "[%s] Failed to send telemetry data because global libcurl initialization "
               "failed.\n",
               kStep);
    return false;
  }
  bool sent = PerformPost(url, payload);
  curl_global_cleanup();
  return sent;
}
