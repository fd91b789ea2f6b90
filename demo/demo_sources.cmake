# Filled in by the demo transfer work (Viewer and Filmer).
