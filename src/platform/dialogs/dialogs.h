#pragma once

// Everything that asks the user through a standard box: message boxes, the input box, the
// common file dialog, and the hook that lets tests script their answers.
#include "platform/dialogs/commondialog.h"
#include "platform/dialogs/dialoghook.h"
#include "platform/dialogs/inputbox.h"
#include "platform/dialogs/messagebox.h"
