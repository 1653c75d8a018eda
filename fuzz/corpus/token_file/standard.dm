access_token=eyJhbGciOiJSUzI1NiJ9.eyJzdWIiOiJjbGllbnQifQ.c2ln
data=05/03/2024
hora=13:22:10
ExpiraData=06/03/2024 13:22:10
