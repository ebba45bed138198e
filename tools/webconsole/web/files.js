// File transfer: filled in by the files part.
