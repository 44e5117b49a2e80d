"""Parts shared by the generate and convert commands."""
