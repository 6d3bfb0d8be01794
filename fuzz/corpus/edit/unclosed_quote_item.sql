select a, b from t where c = 'x'
-- À