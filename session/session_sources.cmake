# Filled in by the session work.
