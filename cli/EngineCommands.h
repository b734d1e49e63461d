#pragma once

// kavro-cli --engine: which extractor and runtime a download would use, their
// versions, where they come from, and what to do when they will not serve.
int ShowEngine();

// kavro-cli --update-engine: installs or updates the managed extractor and
// runtime; 0 only when both are installed and current.
int UpdateEngine();
