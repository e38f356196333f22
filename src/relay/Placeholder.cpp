// relay placeholder
