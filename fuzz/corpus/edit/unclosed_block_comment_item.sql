select a, b from t /* note */
-- j