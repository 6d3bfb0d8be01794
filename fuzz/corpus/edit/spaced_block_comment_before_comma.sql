select a /* x */ , b, c from t
-- p