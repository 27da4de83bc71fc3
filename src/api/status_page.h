#pragma once

// GET /: the status page, one self-contained HTML document (inline CSS and
// script, nothing fetched but /summary), generated from status_page.html.
const char* status_page_html();
