// Writing stand-alone flash programs is not built yet: the Build button does nothing
// and reports failure until the builder lands.
#include "app/FlashForm.h"

bool TFlashForm::NewBuildFlashProgram() { return false; }
