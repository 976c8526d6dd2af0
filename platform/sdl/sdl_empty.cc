// Keeps the SDL library non-empty before its first piece lands.
