// The page of GET /: its HTML, CSS and script in one document, compiled in
// from panel/page.html (the build writes it into panel_page.cpp), so the
// panel needs no files and no network beside the service.
#pragma once

extern const char kPanelPage[];
