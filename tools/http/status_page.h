// The status page served at GET /: every service with its input's state and a live plot of
// its bit rate, drawn in SVG from GET /status once a second. Self-contained: no script,
// style or font is fetched from anywhere else.
#ifndef PALVEX_TOOLS_STATUS_PAGE_H_
#define PALVEX_TOOLS_STATUS_PAGE_H_

namespace palvex_host {

extern const char kStatusPage[];

}  // namespace palvex_host

#endif  // PALVEX_TOOLS_STATUS_PAGE_H_
