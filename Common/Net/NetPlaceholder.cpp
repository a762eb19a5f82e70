// NetPlaceholder.cpp - keeps the net library non-empty until its sockets land.
