// The page's core script.
