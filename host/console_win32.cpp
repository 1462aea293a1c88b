// Placeholder until the Windows console lands.
