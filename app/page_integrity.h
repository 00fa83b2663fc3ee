#pragma once

#include <string>
#include <string_view>

// The page beside the program must be the one it was built with: the host injects its own
// script into it and answers its requests, so another page is not shown.

// MD5 digest (32 lowercase hex digits) of web/index.html as shipped; empty when the build
// found no page, which no page then matches.
std::string_view shippedPageDigest();

// Whether `page` is the shipped page by its digest. A missing or unreadable page has the
// digest of no bytes and so never matches.
bool pageMatchesDigest(const std::string& page, std::string_view digest);

// Whether <webFolder>/index.html is the shipped page.
bool shippedPageIsIntact(const std::string& webFolder);

// Shown instead of a page that is not the shipped one.
std::string errorPageHtml();
