// The object that carries the tests' shared precompiled header; it holds no code.
