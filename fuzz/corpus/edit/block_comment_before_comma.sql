select a /* keep */, b, c from t
-- p