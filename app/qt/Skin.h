// The window's look: one light, consistent style for every control. The
// window works the same without it.
#pragma once

// Applies the look to the whole application. Returns 0; calling it again changes nothing.
int SkinH_Attach();
