#include "app/Program.h"

#include <exception>

#include "app/FlashForm.h"

int ProgramMain() {
  try {
    Application.Initialize();
    Application.SetTitle(ApplicationTitle);
    Application.CreateForm(FlashForm);
    Application.Run();
  } catch (const std::exception& e) {
    Application.HandleException(e.what());
  } catch (...) {
    Application.HandleException("Unknown exception.");
  }
  FlashForm = nullptr;
  return 0;
}
