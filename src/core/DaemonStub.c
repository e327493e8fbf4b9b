/* Keeps the start-up library non-empty while its sources are being written. */
