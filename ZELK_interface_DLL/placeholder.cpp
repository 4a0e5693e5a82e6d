namespace zelk { int placeholder() { return 0; } }
