#pragma once

// Tells assistive technology about the flat combo boxes. The toolkit's own description names an
// editable combo box on Linux by its current text; this one gives its accessible name (or its
// label's text) as the name and the text as the value, as other desktops do. Installed once,
// before the first combo box is made.
void InstallAccessibleComboBox();
