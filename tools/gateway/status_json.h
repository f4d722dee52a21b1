// status_json.h - the gateway's status as JSON (GET /status.json) and the
// texts of the status made valid UTF-8 for it and for the HTML page.
#ifndef ZUNTAL_GATEWAY_STATUS_JSON_H
#define ZUNTAL_GATEWAY_STATUS_JSON_H

#include <string>

#include "gateway.h"

namespace zgw {

// `s` as UTF-8: kept when it is valid UTF-8 already, otherwise read as
// Latin-1 (ISO 8859-1, what EDS files written on Windows usually hold), each
// byte above 0x7F becoming its two-byte UTF-8 form.
std::string to_utf8(const std::string& s);

// The status with the content of the HTML page: the service, its counters,
// per net the frame counters, the clients (with "connected_s", the page's
// "Connected (s)") and the devices. Built with nlohmann-json; every text
// goes through to_utf8(), so the document is always valid JSON.
std::string status_json(const Status& st);

}  // namespace zgw

#endif  // ZUNTAL_GATEWAY_STATUS_JSON_H
