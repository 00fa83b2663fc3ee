#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <string>

// Blocking helpers for a hand-driven display on loopback.

// One request head and its body (by Content-Length); what arrived when the peer closed early
// or sent nothing for 3 s.
std::string readRequest(boost::asio::ip::tcp::socket& socket);

// An HTTP/1.1 answer with a Content-Length.
std::string httpAnswer(const std::string& body, int status = 200);

// A display answer document.
std::string responseStatus(const std::string& url, const std::string& code, const std::string& text,
                           const std::string& extra = "");

// A loopback port that nothing listened on a moment ago.
uint16_t freePort();
