#pragma once

// Helpers of the tests that press Start in the real main window.
namespace StartSupport {

// Puts the clips beside this program, where the window looks for them; removes safety copies.
void prepareAppFolder();

} // namespace StartSupport
