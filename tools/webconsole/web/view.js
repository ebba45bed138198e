// The live view: filled in by the view part.
