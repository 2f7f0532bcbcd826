// An empty source for the link checks of the folder libraries (see the
// top-level CMakeLists.txt): each check links one library whole, with only
// the libraries it declares.
