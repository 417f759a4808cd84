#pragma once

// The application's dialog templates and string table.

#include "desktop/dialog_template.h"

// The template with the given resource id (100, 102 or 104).
const DialogTemplate& LoadDialogTemplate(int id);

// The string resource with the given id, UTF-8; empty when the table has none.
const char* LoadStringResource(int id);
