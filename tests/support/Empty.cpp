// Keeps the support library non-empty while its parts are written.
