#pragma once

#include <string_view>

namespace morvanix {

// True when a request's Host header names this endpoint: "127.0.0.1" or "localhost" in any
// letter case, alone or followed by ":" and the port being served. A page whose own name
// has been made to resolve to 127.0.0.1 sends its own name here, so the agent can tell it
// from the pages that mean to call it.
bool IsLoopbackHost(std::string_view host, int port);

// True when a browser's Sec-Fetch-Mode, Sec-Fetch-Dest and Sec-Fetch-Site values (empty when
// a header is missing; any letter case) describe a top-level navigation that another site
// started: a link, a form or a script setting the page's address. The browsers ask the user
// before a page fetches from the loopback address, but not before it navigates there, and no
// page of the remote application calls the agent that way. A navigation the user typed or
// bookmarked ("none"), a frame, and every fetch, image and script are not refused here.
bool IsCrossSiteNavigation(std::string_view mode, std::string_view dest, std::string_view site);

}  // namespace morvanix
