"""Reading and writing files by extension."""
