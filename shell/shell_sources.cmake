# Filled in by the settings and main window work.
