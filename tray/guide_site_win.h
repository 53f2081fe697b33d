#pragma once

namespace veyra {

// One HTTPS HEAD request for "/guide" on the maker's web site: true when it
// answers with a status from 200 to 399 (a redirect still means the site
// is there). Each step may take 1.2 s before it counts as offline.
bool ProbeGuideSite();

}  // namespace veyra
