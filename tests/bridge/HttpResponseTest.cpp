#include "bridge/HttpResponse.hpp"

#include <gtest/gtest.h>

#include <string>

namespace quillfern {
namespace {

TEST(HttpResponse, HeadCountsTheBodyInBytesAndClosesTheConnection) {
  const auto response = httpResponse(404, "Not Found", "未找到\n", "text/plain; charset=utf-8");
  EXPECT_EQ(std::string(response.begin(), response.end()),
            "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\n"
            "Content-Length: 10\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n未找到\n");
}

}  // namespace
}  // namespace quillfern
